#include "update/update.h"

const char kCmdWakeUp[] = "!DL\n";
const char kCmdPromptProbe[] = "\n";
const char kCmdVersion[] = "vers\n";
const char kCmdChipErase[] = "erase_pf\n";
const char kCmdPageErase[] = "erase_pf %04X\n";
const char kCmdEepromErase[] = "erase_ee\n";
const char kCmdFlashBoot[] = "flashboot\n";
const char kCmdDownload[] = "dlbinpf\n";
const char kCmdReboot[] = "reboot\n";
const char kTempFileName[] = "temp$$$.hex";

uint32_t initial_baud = 115200;
const char* boot_file_path = nullptr;
