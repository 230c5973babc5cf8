// The run as one self-contained HTML page: the verdict, the run over time,
// per worker and per process figures, the errors and the settings, drawn
// from the report's document with the chart library built into the program
// (no network needed to open it).
#ifndef IOCHURN_HTML_PAGE_H_
#define IOCHURN_HTML_PAGE_H_

#include <string>

#include <nlohmann/json.hpp>

namespace iochurn {

// True when the chart library was found at build time; without it the
// page cannot be drawn and --html is refused.
bool page_available();

// The Debian package that provides the chart library.
const char* page_library_package();

// Renders the page of `report` (a document as build_report writes it, or
// as read back from a file) into `*out`. Fields may be absent or of an
// unexpected type: what is missing is left out of the page, never trusted.
// Returns 0, or ENOTSUP when the chart library is missing. Any thread;
// allocates.
int render_page(const nlohmann::ordered_json& report, std::string* out);

// What read_report_file found.
enum ReportFileStatus {
  kReportFileOk = 0,
  kReportFileUnreadable,  // could not be opened or read: `*error` says why
  kReportFileNotJson,     // not a JSON document
  kReportFileNotOurs,     // JSON, but not a report of this program
};

// Reads and checks a report file written by this program (or its
// multi-host program): an object naming the program with a known format
// version. `*error` gets the errno value of a failed read. Any thread.
ReportFileStatus read_report_file(const char* path,
                                  nlohmann::ordered_json* out, int* error);

// Helpers shared with the tests.

// `text` with &, <, >, " and ' replaced by character references.
std::string html_escape(const std::string& text);

// `value` as JSON text safe inside a <script> element: <, >, & and the
// line separators U+2028 and U+2029 written as \u escapes, so no
// "</script>" or "<!--" can appear and a string cannot end the element.
std::string script_json(const nlohmann::ordered_json& value);

// "42.1 s", "3 m 05 s", "2 h 03 m", "1 d 04 h" for a duration in seconds.
std::string human_duration(double seconds);

}  // namespace iochurn

#endif  // IOCHURN_HTML_PAGE_H_
