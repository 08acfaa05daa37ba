#include "gang/gang_run.h"
#include "platform/console.h"
#include "platform/stop_request.h"

int main(int argc, char** argv) {
  console_init();
  stop_requests_begin();
  int rc = gang_main(argc, argv);
  console_end();
  return rc;
}
