#include "platform/console.h"
#include "report/report_main.h"

int main(int argc, char** argv) {
  console_init();
  int rc = report_main(argc, argv);
  console_end();
  return rc;
}
