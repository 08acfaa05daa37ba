#include "update/sent_files.h"

#include <cstring>

#include "texts/failure.h"

static std::vector<SentFile> g_sent;

void sent_files_reset() { g_sent.clear(); }

static SentFile* find(const char* path) {
  for (SentFile& s : g_sent)
    if (s.path == path) return &s;
  return nullptr;
}

const SentFile* sent_file(const char* path) { return find(path); }

static int changed(const char* path) {
  con_failure("The file %s changed while it was being sent\r\n", path);
  return 0;
}

int sent_file_opened(const char* path, FileHandle f) {
  FileStamp now;
  if (!file_stamp(f, &now)) {
    con_failure("Could not get the file %s size:%u\r\n", path, last_error());
    return 0;
  }
  SentFile* s = find(path);
  if (s == nullptr) {
    g_sent.push_back(SentFile{path, now, 0, 0, ""});
    return 1;
  }
  return same_file_stamp(s->first, now) ? 1 : changed(path);
}

void sent_file_read(const char* path, uint64_t size, Sha256* digest) {
  SentFile* s = find(path);
  if (s == nullptr) return;
  s->read = 1;
  s->size = size;
  s->sha256 = sha256_finish(digest);
}

int sent_file_unchanged(const char* path) {
  SentFile* s = find(path);
  FileStamp now;
  if (s != nullptr && path_stamp(path, &now) && same_file_stamp(s->first, now)) return 1;
  return changed(path);
}
