// The shift report as one static HTML page: no script, no font, no file and no address
// outside it; charts are inline SVG, each with its numbers beside it, and it prints on A4.
#pragma once
#include <string>

#include "report/figures.h"

// Text for HTML: &, <, >, " and ' as entities, control bytes as "\xNN". Pure.
std::string html_text(const std::string& text);

// The whole page for a tally. Pure.
std::string report_page(const Tally& t, const char* version);
