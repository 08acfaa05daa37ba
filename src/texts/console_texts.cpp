#include "texts/console_texts.h"

#include "platform/console.h"

static const unsigned kVersionMajor = 1;
static const unsigned kVersionMinor = 4;
static const char kMakerNotice[] = "(c) Vorla Systems, firmware loader for the production line";

void show_spinner(uint8_t counter) {
  static const char kSpin[] = "|/-\\";
  con_printf("%c\b", kSpin[counter % 4]);
}

void clear_screen_and_banner() {
  for (int i = 0; i < 80; ++i) con_printf("\r\n");
  con_printf("Vorla Loader V%02u.%02u %s\r\n", kVersionMajor, kVersionMinor, kMakerNotice);
  con_printf("-------------------------------------------\r\n\r\n");
}

void print_version() { con_printf("vorlaloader %u.%u\r\n", kVersionMajor, kVersionMinor); }

void print_usage(int every_option) {
  con_printf("%s\r\n\r\n", kMakerNotice);
  con_printf("Command: vorlaloader[.exe] [-f] [-oname] <com> <boot> {[file addr]}\r\n");
  con_printf("opts:    -b don't update bootloader\r\n");
  con_printf("         -c file is compound\r\n");
  con_printf("         -e erase eeprom\r\n");
  con_printf("         -f generates a compound file instead of start the serial loader\r\n");
  con_printf("         -oname is the name of the output file\r\n");
  con_printf("         -p erase pages (no chip erase)\r\n");
  con_printf("         -s single loop mode for loading only one device\r\n");
  con_printf("         -r[inital baudrate], default 115200\r\n");
  if (every_option) {
    con_printf("         -lname appends a record of every board to the CSV file name\r\n");
    con_printf("         -jname writes the run's events, one JSON object per line, to name\r\n");
    con_printf("         -nname writes the next serial number of the file name into every board\r\n");
    con_printf("         -iN numbers the first board N (1 to 999999999), default 1\r\n");
    con_printf("         --help prints this text, --version the version (first argument only)\r\n");
  }
  con_printf("com:     serial port 1, 2, ...\r\n");
  if (every_option) {
    con_printf("         1 to 9, COM1 to COM256 (COM3, com3:), on Linux also a path (/dev/ttyUSB0);\r\n");
    con_printf("         with -f a placeholder such as 0 or x\r\n");
  }
  con_printf("boot:    serial bootloader file (.sdb)\r\n");
  con_printf("file:    path to file for loading\r\n");
  con_printf("addr:    destination address in the flash (ex. 0xf00000)\r\n");
  con_printf("Returns 0 if successful. 1 on other error.\r\n");
  if (every_option) con_printf("         130 when interrupted by Ctrl+C (Windows: 0xC000013A)\r\n");
}
