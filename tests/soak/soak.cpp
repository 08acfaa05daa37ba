// vorla-soak: the real loader against vorla-devsim --chaos, one device after
// another. Every device gets its own images, simulator and seed (seed + i), and
// the loader's verdict is checked against what the simulated flash holds.
//
//   vorla-soak [--devices N] [--seed S] [--tool PATH] [--devsim PATH]
//              [--workdir DIR] [--keep]
//
// One line per device, a summary, and "N passed, M failed" last; exit 1 when
// any device went wrong. A failed device's folder is kept (its path is
// printed); `--seed <its seed> --devices 1` runs it again.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "chaos.h"  // Rng
#include "frontend/sha256.h"

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

#ifndef VORLALOADER_PATH
#define VORLALOADER_PATH ""
#endif
#ifndef DEVSIM_PATH
#define DEVSIM_PATH ""
#endif

const char kDone[] = "\r\nCongratulation. The update of the device has been\r\n\r\n\t\tSUCCESSFULL.\r\n";
const char kFailed[] = "\r\nThe update of the device is FAILED!\r\n";
const char kTempFile[] = "temp$$$.hex";
constexpr uint32_t kFlashSize = 16u << 20;
constexpr uint32_t kMaxImage = 300u << 10;

volatile sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

struct Options {
    int devices = 200;
    uint64_t seed = 1;
    std::string tool = VORLALOADER_PATH;
    std::string devsim = DEVSIM_PATH;
    std::string workdir;
    bool keep = false;
};

const char kUsage[] =
    "usage: vorla-soak [--devices N] [--seed S] [--tool PATH] [--devsim PATH]\n"
    "                  [--workdir DIR] [--keep]\n"
    "  device i (from 0) runs with seed S+i; --seed X --devices 1 replays seed X\n";

bool parse_u64(const char* text, uint64_t& out) {
    if (!text || !*text || *text == '-') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno || *end) return false;
    out = v;
    return true;
}

bool parse_options(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        uint64_t v = 0;
        if (a == "--devices" && parse_u64(value, v) && v >= 1 && v <= 1000000) {
            o.devices = int(v);
            ++i;
        } else if (a == "--seed" && parse_u64(value, v)) {
            o.seed = v;
            ++i;
        } else if (a == "--tool" && value) {
            o.tool = argv[++i];
        } else if (a == "--devsim" && value) {
            o.devsim = argv[++i];
        } else if (a == "--workdir" && value) {
            o.workdir = argv[++i];
        } else if (a == "--keep") {
            o.keep = true;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else {
            std::fprintf(stderr, "vorla-soak: bad argument %s\n", a.c_str());
            return false;
        }
    }
    if (o.tool.empty() || o.devsim.empty()) {
        std::fprintf(stderr, "vorla-soak: give --tool and --devsim\n");
        return false;
    }
    return true;
}

// ---- files and processes ----

bool write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    return bool(out);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void remove_tree(const std::string& path) {
    std::string cmd = "rm -rf '" + path + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "vorla-soak: cannot remove %s\n", path.c_str());
}

pid_t spawn(const std::vector<std::string>& args, const std::string& cwd, const std::string& out_path,
            const std::string& err_path) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || out < 0 || err < 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

struct Exit {
    bool done = false;    // reaped
    bool timed_out = false;
    int status = 0;
};

// Waits for pid until the deadline; does not kill it.
Exit wait_until(pid_t pid, Clock::time_point deadline) {
    Exit e;
    for (;;) {
        pid_t r = waitpid(pid, &e.status, WNOHANG);
        if (r == pid) {
            e.done = true;
            return e;
        }
        if (r < 0 && errno != EINTR) {
            e.done = true;
            e.status = 0x7f00;  // lost: count as an abnormal end
            return e;
        }
        if (Clock::now() >= deadline || g_stop) {
            e.timed_out = true;
            return e;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Ends a child that is still running: sig first, SIGKILL after grace.
Exit stop_child(pid_t pid, int sig, double grace_s) {
    kill(pid, sig);
    Exit e = wait_until(pid, Clock::now() + std::chrono::milliseconds(int(grace_s * 1000)));
    if (e.done) return e;
    kill(pid, SIGKILL);
    e = Exit{};
    while (waitpid(pid, &e.status, 0) < 0 && errno == EINTR) {
    }
    e.done = true;
    return e;
}

// ---- one device ----

struct Image {
    std::string name;
    uint32_t address = 0;
    std::string address_text;
    std::string bytes;
};

uint32_t stored_length(const Image& im) { return uint32_t(im.bytes.size() + (im.bytes.size() & 1)); }

json expected_entry(const Image& im) {
    std::string stored = im.bytes;
    if (stored.size() & 1) stored += '\xFF';
    return json{{"address", im.address & ~0xFFu},
                {"length", stored.size()},
                {"sha256", sha256_hex(reinterpret_cast<const uint8_t*>(stored.data()), stored.size())}};
}

std::string random_bytes(Rng& r, size_t size) {
    std::string s(size, '\0');
    int style = r.below(10);
    for (size_t i = 0; i < size; ++i) {
        if (style == 0) {
            // Full of the bytes the link reacts to, in case any of them leaks.
            static const char kSignals[] = {0x00, 0x04, 0x06, 0x15, 0x18, '$', 'C', 'G', '\n', char(0xFF)};
            s[i] = kSignals[r.below(int(sizeof kSignals))];
        } else if (style == 1) {
            s[i] = char(0xFF);  // erased-looking
        } else {
            s[i] = char(r.next());
        }
    }
    return s;
}

size_t random_size(Rng& r) {
    int k = r.below(100);
    if (k < 8) return 0;
    if (k < 20) return size_t(r.range(1, 200));
    if (k < 35) {
        // Near a block boundary of the wrapped stream (two 36-byte headers).
        long v = 1024L * r.range(1, 300) - 72 + r.range(-2, 2);
        return size_t(std::clamp<long>(v, 0, kMaxImage));
    }
    return size_t(r.range(0, int(kMaxImage)));
}

bool overlaps(const Image& a, uint32_t base, uint32_t len) {
    uint32_t ab = a.address & ~0xFFu;
    uint32_t al = std::max<uint32_t>(stored_length(a), 1);
    len = std::max<uint32_t>(len, 1);
    return base < ab + al && ab < base + len;
}

std::vector<Image> make_images(Rng& r) {
    std::vector<Image> images;
    int count = r.percent(55) ? 1 : 2;
    for (int k = 0; k < count; ++k) {
        Image im;
        im.name = "img" + std::to_string(k + 1) + (r.percent(50) ? ".bin" : ".hex");
        im.bytes = random_bytes(r, random_size(r));
        uint32_t len = stored_length(im);
        if (r.percent(2)) {
            // Past the end of flash: the device must refuse it.
            uint32_t back = uint32_t(r.below(int(len / 2) + 1)) & ~0xFFu;
            im.address = kFlashSize - back + uint32_t(r.below(256));
        } else {
            // Seg 0 and FFFF with no data read as the end and erase records: keep clear.
            for (int tries = 0; tries < 1000; ++tries) {
                im.address = uint32_t(r.range(0x100, int(0xFFFF00 - len - 0x100)));
                if (r.percent(40)) im.address &= ~0xFFFu;
                if (im.address < 0x100) continue;
                uint32_t base = im.address & ~0xFFu;
                bool clash = false;
                for (const Image& other : images) clash = clash || overlaps(other, base, len);
                if (!clash) break;
            }
        }
        char text[32];
        static const char* const kFormats[] = {"0x%x", "0x%X", "0X%06X", "0x%08x"};
        std::snprintf(text, sizeof text, kFormats[r.below(4)], im.address);
        im.address_text = text;
        images.push_back(im);
    }
    return images;
}

// The longest run the loader's waits allow for these images, with slack for
// scheduling: each wait may overrun a little, and a 1 ms wait by more.
double time_limit_s(const std::vector<Image>& images) {
    double s = 3.0        // a slow boot ROM answers within 12 wake-ups
               + 2.0      // bootloader upload
               + 10 * 1.0  // prompt probes
               + 10 * 0.5  // vers
               + 600 * 0.2  // chip erase
               + 10 * 0.5  // flashboot
               + 3.0;      // the sleep after the reboot
    for (const Image& im : images) {
        double blocks = double((stored_length(im) + 2 * 40 + 1023) / 1024);
        s += 10 * 0.5 + blocks * 1000 * 0.0015 + 1000 * 0.0015;  // 'C', blocks, EOT
    }
    return s * 1.25 + 15;
}

struct Outcome {
    uint64_t seed = 0;
    std::vector<std::string> faults;
    std::string verdict;  // SUCCESSFULL, FAILED or what the tool did instead
    bool tool_ok = false;
    bool tool_failed = false;
    bool device_ok = false;
    bool hang = false;
    bool crash = false;
    bool temp_left = false;
    bool harness_error = false;
    std::string note;
    double seconds = 0;
    bool passed() const {
        bool right = (tool_ok && device_ok) || (tool_failed && !device_ok);
        return right && !hang && !crash && !temp_left && !harness_error;
    }
};

std::string kib(size_t n) {
    char buf[32];
    if (n < 1024) std::snprintf(buf, sizeof buf, "%zuB", n);
    else std::snprintf(buf, sizeof buf, "%.1fK", double(n) / 1024);
    return buf;
}

Outcome run_device(const Options& o, const std::string& dir, uint64_t seed, std::string& images_text) {
    Outcome out;
    out.seed = seed;
    Rng r(seed ^ 0x5EED5EED5EED5EEDull);
    r.next();
    std::vector<Image> images = make_images(r);
    std::string boot = random_bytes(r, size_t(r.range(256, 6000)));
    // The boot ROM takes a wake-up at the upload's start for a repeated one.
    if (boot.compare(0, 4, "!DL\n") == 0) boot[0] = 'x';

    mkdir(dir.c_str(), 0755);
    write_file(dir + "/boot.sdb", boot);
    json expected = json::array();
    for (const Image& im : images) {
        write_file(dir + "/" + im.name, im.bytes);
        expected.push_back(expected_entry(im));
        images_text += (images_text.empty() ? "" : " ") + kib(im.bytes.size()) + "@" + im.address_text;
    }

    const std::string port = dir + "/port";
    const std::string report = dir + "/report.json";
    pid_t sim = spawn({o.devsim, "--chaos", std::to_string(seed), "--report", report, "--link", port, "--boot",
                       dir + "/boot.sdb", "--timeout", "60"},
                      dir, dir + "/devsim.log", dir + "/devsim.log");
    auto link_by = Clock::now() + std::chrono::seconds(10);
    while (!exists(port) && Clock::now() < link_by && !g_stop) {
        int st;
        if (waitpid(sim, &st, WNOHANG) == sim) {
            out.harness_error = true;
            out.note = "simulator ended before linking its port";
            return out;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!exists(port)) {
        stop_child(sim, SIGKILL, 1);
        out.harness_error = true;
        out.note = "simulator did not link its port";
        return out;
    }

    std::vector<std::string> args = {o.tool, "-s", port, "boot.sdb"};
    for (const Image& im : images) {
        args.push_back(im.name);
        args.push_back(im.address_text);
    }
    double limit = time_limit_s(images);
    auto start = Clock::now();
    pid_t tool = spawn(args, dir, dir + "/tool.out", dir + "/tool.err");
    Exit te = wait_until(tool, start + std::chrono::milliseconds(long(limit * 1000)));
    if (te.timed_out) {
        out.hang = !g_stop;
        te = stop_child(tool, SIGKILL, 1);
    }
    out.seconds = std::chrono::duration<double>(Clock::now() - start).count();

    // After a good update the simulator ends by itself once it has seen the
    // reboot; otherwise it would wait for one that never comes.
    Exit se = wait_until(sim, Clock::now() + std::chrono::seconds(
                                                  WIFEXITED(te.status) && WEXITSTATUS(te.status) == 0 ? 5 : 0));
    if (!se.done) stop_child(sim, SIGTERM, 5);

    std::string text = read_file(dir + "/tool.out");
    bool says_done = text.find(kDone) != std::string::npos;
    bool says_failed = text.find(kFailed) != std::string::npos;
    if (out.hang) {
        out.verdict = "HANG";
    } else if (WIFSIGNALED(te.status)) {
        out.crash = true;
        out.verdict = std::string("SIGNAL ") + strsignal(WTERMSIG(te.status));
    } else if (!WIFEXITED(te.status)) {
        out.verdict = "LOST";
    } else {
        int code = WEXITSTATUS(te.status);
        out.tool_ok = code == 0 && says_done && !says_failed;
        out.tool_failed = code == 1 && says_failed && !says_done;
        out.verdict = out.tool_ok ? "SUCCESSFULL"
                      : out.tool_failed ? "FAILED"
                                        : "exit " + std::to_string(code) + (says_done ? " +SUCCESSFULL" : "") +
                                              (says_failed ? " +FAILED" : "");
    }

    json rep = json::parse(read_file(report), nullptr, false);
    if (rep.is_discarded() || !rep.contains("devices")) {
        out.harness_error = true;
        out.note = "no simulator report";
        return out;
    }
    const json& devices = rep["devices"];
    if (devices.size() == 1) {
        const json& d = devices[0];
        out.faults = d.value("faults", std::vector<std::string>{});
        bool clean = d.value("rebooted", false) && d.value("boot_ok", false) && d["errors"].empty() &&
                     rep["errors"].empty() && !rep.value("disconnected", false);
        for (const json& t : d["transfers"]) clean = clean && t.value("result", "") == "ok";
        bool flash_ok = d["images"] == expected;
        out.device_ok = clean && flash_ok;
        // The simulator's own account must agree with its report, or the soak checks nothing.
        if (d.value("expected_ok", !clean) != clean) {
            out.harness_error = true;
            out.note = "simulator's expected_ok disagrees with its report";
        }
        if (clean && !flash_ok) out.note = "flash differs from the images";
        if (!d["errors"].empty()) out.note += (out.note.empty() ? "" : "; ") + d["errors"][0].get<std::string>();
    } else if (devices.size() > 1) {
        out.harness_error = true;
        out.note = "more than one device woke up";
    }
    if (!rep["errors"].empty()) out.note += (out.note.empty() ? "" : "; ") + rep["errors"][0].get<std::string>();
    if (rep.value("disconnected", false)) out.note += (out.note.empty() ? "" : "; ") + std::string("disconnected");

    out.temp_left = out.tool_ok && exists(dir + "/" + kTempFile);
    return out;
}

std::string fault_kind(const std::string& f) {
    size_t cut = f.find_first_of(":@");
    return f.substr(0, cut);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse_options(argc, argv, o)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    signal(SIGINT, on_stop);
    signal(SIGTERM, on_stop);
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    if (o.workdir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        o.workdir = tmp && *tmp ? tmp : "/tmp";
    }
    std::string base = o.workdir + "/vorla-soak-XXXXXX";
    std::vector<char> buf(base.begin(), base.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
        std::perror("vorla-soak: mkdtemp");
        return 2;
    }
    const std::string root = buf.data();

    std::printf("vorla-soak: %d devices, seeds %" PRIu64 "..%" PRIu64 ", in %s\n", o.devices, o.seed,
                o.seed + uint64_t(o.devices) - 1, root.c_str());
    int passed = 0, failed = 0, tool_ok = 0, device_ok = 0, right = 0, wrong = 0, hangs = 0, crashes = 0,
        temp_left = 0, harness = 0;
    std::map<std::string, int> kinds;
    std::vector<std::string> problems;
    auto all_start = Clock::now();

    for (int i = 0; i < o.devices && !g_stop; ++i) {
        uint64_t seed = o.seed + uint64_t(i);
        std::string dir = root + "/seed-" + std::to_string(seed);
        std::string images;
        Outcome r = run_device(o, dir, seed, images);
        if (g_stop) break;
        std::string faults;
        for (const std::string& f : r.faults) {
            faults += (faults.empty() ? "" : " ") + f;
            ++kinds[fault_kind(f)];
        }
        bool ok = r.passed();
        bool verdict_right = (r.tool_ok && r.device_ok) || (r.tool_failed && !r.device_ok);
        passed += ok;
        failed += !ok;
        tool_ok += r.tool_ok;
        device_ok += r.device_ok;
        hangs += r.hang;
        crashes += r.crash;
        temp_left += r.temp_left;
        harness += r.harness_error;
        if (verdict_right) ++right;
        else if (!r.hang && !r.crash && !r.harness_error) ++wrong;

        std::string what = ok ? "ok" : r.hang ? "HANG" : r.crash ? "CRASH" : r.harness_error ? "HARNESS"
                                       : !verdict_right ? "WRONG VERDICT" : "TEMP FILE LEFT";
        std::printf("[%3d] seed %-6" PRIu64 " %-24s faults: %-40s tool %-12s device %-6s %5.1fs  %s%s%s\n", i + 1,
                    seed, images.c_str(), faults.empty() ? "-" : faults.c_str(), r.verdict.c_str(),
                    r.device_ok ? "ok" : "not ok", r.seconds, what.c_str(), r.note.empty() ? "" : "  (",
                    r.note.empty() ? "" : (r.note + ")").c_str());
        if (ok && !o.keep) {
            remove_tree(dir);
        } else if (!ok) {
            problems.push_back("seed " + std::to_string(seed) + ": " + what + " (tool " + r.verdict + ", device " +
                               (r.device_ok ? "ok" : "not ok") + "), kept in " + dir);
        }
    }

    double total_s = std::chrono::duration<double>(Clock::now() - all_start).count();
    int ran = passed + failed;
    std::printf("\n== summary: %d devices in %.0f s\n", ran, total_s);
    std::printf("tool verdicts: %d SUCCESSFULL, %d other; devices good: %d (%.0f%%)\n", tool_ok, ran - tool_ok,
                device_ok, ran ? 100.0 * device_ok / ran : 0.0);
    std::printf("faults injected (devices hit, by kind):");
    if (kinds.empty()) std::printf(" none");
    for (const auto& k : kinds) std::printf(" %s=%d", k.first.c_str(), k.second);
    std::printf("\nverdicts right: %d; wrong verdicts: %d; hangs: %d; crashes: %d; temp file left: %d; "
                "harness errors: %d\n",
                right, wrong, hangs, crashes, temp_left, harness);
    for (const std::string& p : problems) std::printf("  %s\n", p.c_str());
    if (failed == 0 && !o.keep) rmdir(root.c_str());
    if (g_stop) std::printf("stopped early\n");
    std::printf("%d passed, %d failed\n", passed, failed);
    return (failed > 0 || g_stop || ran == 0) ? 1 : 0;
}
