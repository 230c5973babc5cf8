#include "html/page.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/scratch_dir.h"

namespace iochurn {
namespace {

using json = nlohmann::ordered_json;

TEST(Page, EscapesRunTextForHtmlAndForScripts) {
  EXPECT_EQ(html_escape("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&#39;");
  EXPECT_EQ(html_escape("plain /path"), "plain /path");

  json v = {{"path", "</script><!--x-->&\xE2\x80\xA8\xE2\x80\xA9"}};
  std::string text = script_json(v);
  EXPECT_EQ(text.find('<'), std::string::npos);
  EXPECT_EQ(text.find('>'), std::string::npos);
  EXPECT_EQ(text.find('&'), std::string::npos);
  EXPECT_EQ(text.find("\xE2\x80\xA8"), std::string::npos);
  EXPECT_EQ(text.find("\xE2\x80\xA9"), std::string::npos);
  // Still the same value once read back.
  EXPECT_EQ(json::parse(text), v);
}

TEST(Page, DurationsReadAsAPersonWouldSayThem) {
  const struct {
    double seconds;
    const char* text;
  } kCases[] = {{0, "0.0 s"},         {42.14, "42.1 s"},     {185, "3 m 05 s"},
                {7380, "2 h 03 m"},   {100800, "1 d 04 h"},  {-1, "0.0 s"}};
  for (const auto& c : kCases) EXPECT_EQ(human_duration(c.seconds), c.text) << c.seconds;
}

TEST(Page, RendersWhatIsThereAndSurvivesWhatIsNot) {
  if (!page_available()) GTEST_SKIP() << "built without the chart library";
  std::string page;
  // Nothing at all, and every field of the wrong type.
  ASSERT_EQ(render_page(json::object(), &page), 0);
  EXPECT_NE(page.find("id=\"chart-throughput\""), std::string::npos);
  json odd = {{"totals", 3},        {"ended", 7},         {"timeline", "x"},
              {"workers", {1, 2}},  {"errors", {{{"path", 5}}}},
              {"settings", {{"workdir", {{"a", nullptr}}}}}, {"ranks", json::object()}};
  ASSERT_EQ(render_page(odd, &page), 0);
  EXPECT_EQ(page.find("id=\"chart-ranks\""), std::string::npos);

  json r = {{"ended", "signal"},
            {"signal", "SIGINT"},
            {"cleanup", "emergency"},
            {"elapsed_s", 185.0},
            {"totals", {{"compare_errors", 0}, {"other_errors", 2}}},
            {"bad_blocks", {{"zeroed", 3}}},
            {"wait_timed_out", true},
            {"ranks", {{{"rank", 0}, {"throughput", {{"write_MiBps_in_calls", 5.0}}}},
                       {{"rank", 1}, {"throughput", {{"write_MiBps_in_calls", 2.0}}}}}},
            {"errors", {{{"rank", 1}, {"worker", 0}, {"operation", "read"},
                         {"path", "/d/<b>"}, {"error_text", "Input/output error"}}}}};
  ASSERT_EQ(render_page(r, &page), 0);
  EXPECT_NE(page.find("DATA ERRORS · I/O ERRORS · TIME-OUTS — ended: signal (SIGINT), "
                      "emergency clean-up — after 3 m 05 s"),
            std::string::npos);
  EXPECT_NE(page.find("verdict data"), std::string::npos);
  EXPECT_NE(page.find("the slowest, rank 1"), std::string::npos);
  EXPECT_NE(page.find("<td>1</td><td>0</td><td>read</td><td class=\"mono\">/d/&lt;b&gt;"),
            std::string::npos);
  EXPECT_EQ(page.find("/d/<b>"), std::string::npos);
  // Nothing is loaded from elsewhere (the library's comments may name its
  // home page).
  for (const char* ref : {"src=\"http", "href=\"http", "src=\"//", "href=\"//", "@import"})
    EXPECT_EQ(page.find(ref), std::string::npos) << ref;
}

TEST(Page, ReadsOnlyReportsOfThisProgram) {
  testing_support::ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  auto put = [&dir](const char* name, const char* text) {
    std::string path = dir.file(name);
    FILE* f = std::fopen(path.c_str(), "w");
    std::fputs(text, f);
    std::fclose(f);
    return path;
  };
  json doc;
  int error = 0;
  EXPECT_EQ(read_report_file((dir.path() + "/none").c_str(), &doc, &error),
            kReportFileUnreadable);
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(read_report_file(put("a", "{\"x\":").c_str(), &doc, &error), kReportFileNotJson);
  EXPECT_EQ(read_report_file(put("b", "[1,2]").c_str(), &doc, &error), kReportFileNotOurs);
  EXPECT_EQ(read_report_file(put("c", R"({"program":{"name":"fio"},"format_version":1})").c_str(),
                             &doc, &error),
            kReportFileNotOurs);
  EXPECT_EQ(read_report_file(put("d", R"({"program":{"name":"iochurn"},"format_version":2})").c_str(),
                             &doc, &error),
            kReportFileNotOurs);
  EXPECT_EQ(read_report_file(put("e", R"({"program":{"name":"iochurn-mpi"},"format_version":1})").c_str(),
                             &doc, &error),
            kReportFileOk);
  EXPECT_EQ(doc["program"]["name"], "iochurn-mpi");
}

}  // namespace
}  // namespace iochurn
