// vorla-report: reads production records and writes the shift report.
#pragma once
#include <string>

// The page's default name: the record's name with ".html" for its extension (or added
// when it has none). Pure.
std::string default_report_name(const std::string& record);

// The program: "vorla-report [-oREPORT.html] RECORD.csv [RECORD.csv ...]". 0 when the
// page is written; 1 after a message (usage, a file that is not a record, a write that
// failed).
int report_main(int argc, const char* const* argv);
