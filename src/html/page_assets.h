// The page's built-in files, generated at build time into one source file
// (the chart library from its Debian package, and the page's own script and
// style from src/html).
#ifndef IOCHURN_HTML_PAGE_ASSETS_H_
#define IOCHURN_HTML_PAGE_ASSETS_H_

namespace iochurn {

// False when the library was not found at configure time: its texts are
// then empty.
extern const bool kChartLibraryPresent;
extern const char kChartLibraryScript[];
extern const char kChartLibraryStyle[];

// The page's own script (draws the charts from the embedded data) and style.
extern const char kPageScript[];
extern const char kPageStyle[];

}  // namespace iochurn

#endif  // IOCHURN_HTML_PAGE_ASSETS_H_
