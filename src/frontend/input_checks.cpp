#include "frontend/input_checks.h"

#include "frontend/command_line.h"
#include "platform/console.h"
#include "platform/files.h"

int input_readable(const char* path, const char* missing, const char* in_use) {
  FileHandle f = file_open_read(path);
  if (f == kNoFile) {
    con_printf(error_is_in_use(last_error()) ? in_use : missing, path);
    return 0;
  }
  file_close(f);
  return 1;
}

int inputs_usable(const char* boot_arg, int string_count, const char* const* pairs) {
  if (boot_arg[0] == '\0') {
    con_printf("No Vorla Loader bin file\r\n");
    return 0;
  }
  if (!input_readable(boot_arg, "No Vorla Loader bin file:%s doesn't exist\r\n",
                      "No Vorla Loader bin file:%s is in use by another program\r\n"))
    return 0;
  if (string_count % 2 != 0) {
    con_printf("Wrong number of arguments\r\n");
    return 0;
  }
  for (int k = 0; 2 * k < string_count; ++k) {
    if (!input_readable(pairs[2 * k], "\r\nThe file %s does not exist!\r\n",
                        "\r\nThe file %s is in use by another program!\r\n"))
      return 0;
  }
  return 1;
}

int rate_usable(const char* rate_text) {
  if (rate_is_usable(rate_text)) return 1;
  con_printf("Wrong initial baud rate:%s (give a rate above 0, such as -r9600)\r\n", rate_text);
  return 0;
}
