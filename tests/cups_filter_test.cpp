// The CUPS filter end to end: what reaches cupsd on standard error, the pages it reports,
// the data it hands on, and how it ends.
#include "filter_run.h"

#include "../cups/ppd.h"

#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <set>
#include <sstream>

using namespace std::string_literals;

namespace {

const std::string LT_GREY = "[Q]\nink=MONO\nresolution=72\nmediasize=LT\n";
const std::string DEFAULTS_HINT =
    ": printing with the defaults (colour, 360 dpi, A4); ravofilter-check says why\n";

// A job that prints text through Ghostscript, as a hostile job would to reach cupsd.
std::string printing(const std::string &text) {
    std::string escaped;
    for (unsigned char byte : text) {
        char octal[8];
        snprintf(octal, sizeof octal, "\\%03o", byte);
        escaped += octal;
    }
    return "%!PS\n(" + escaped + ") print flush\n";
}

struct Message_Case {
    const char *what;
    std::string job;
    std::optional<std::string> settings;
    std::string to_cupsd; // all of standard error
};

const Message_Case message_cases[] = {
    {"a PPD command is only debug text",
     printing("PPD: FoomaticRIPCommandLine='\"id >>/tmp/proof\"'\n"), LT_GREY,
     "DEBUG: PPD: FoomaticRIPCommandLine='\"id >>/tmp/proof\"'\n"},
    {"every command word, each line on its own",
     printing("STATE: paused\nATTR: auth-info-required=username,password\nPAGE: total 7777\n"
              "INFO: hello\n"),
     LT_GREY,
     "DEBUG: STATE: paused\nDEBUG: ATTR: auth-info-required=username,password\n"
     "DEBUG: PAGE: total 7777\nDEBUG: INFO: hello\n"},
    {"a line past cupsd's cut goes in pieces that all stay debug",
     printing(std::string(2040, 'x') + "PPD: DefaultPageSize=Letter\n"), LT_GREY,
     "DEBUG: " + std::string(1000, 'x') + "\nDEBUG: " + std::string(1000, 'x') +
         "\nDEBUG: " + std::string(40, 'x') + "PPD: DefaultPageSize=Letter\n"},
    {"control characters go, a final line without newline still comes",
     printing("\rSTATE: +media-empty-error\n\fPPD: x\x1b[31m\x7f\0y\n\tATTR: z"s), LT_GREY,
     "DEBUG: STATE: +media-empty-error\nDEBUG: PPD: x[31my\nDEBUG: ATTR: z\n"},
    {"the filter's error with a tail: raised without the tail",
     printing("ravofilter: cannot remove /tmp/x: Your printer is on fire\n"), LT_GREY,
     "ERROR: ravofilter: cannot remove the job's private directory\n"
     "DEBUG: ravofilter: cannot remove /tmp/x: Your printer is on fire\n"},
    {"the filter's own resources: raised without the reason",
     printing("ravofilter: cannot start the rasterizer: fork: Resource temporarily unavailable\n"
              "ravofilter: cannot make a private directory: Permission denied\n"),
     LT_GREY,
     "ERROR: ravofilter: cannot start the rasterizer\n"
     "DEBUG: ravofilter: cannot start the rasterizer: fork: Resource temporarily unavailable\n"
     "ERROR: ravofilter: cannot make a private directory for the job\n"
     "DEBUG: ravofilter: cannot make a private directory: Permission denied\n"},
    {"pages written to files: raised as it stands",
     printing("ravofilter: the job wrote files of its own instead of printing its pages\n"),
     LT_GREY, "ERROR: ravofilter: the job wrote files of its own instead of printing its pages\n"},
    {"no settings file: a warning", "%!PS\n", std::nullopt,
     "WARNING: etc/ravorc : No such file" + DEFAULTS_HINT},
    {"malformed settings: a warning", "%!PS\n", "[Q]\n=x\n",
     "WARNING: ravorc not read" + DEFAULTS_HINT},
    {"a broken job: Ghostscript's words as debug, then the error", "%!PS\nnot-an-operator\n",
     LT_GREY, ""},
};

// Everything on the filter's standard error reaches cupsd as a line it cannot act on.
TEST(CupsFilter, MessagesReachCupsdInert) {
    const std::regex inert("(DEBUG|WARNING|ERROR): [^\\x01-\\x1f\\x7f]{0,1000}");
    for (const Message_Case &row : message_cases) {
        SCOPED_TRACE(row.what);
        Filter_Run run = run_filter(
            {.job = row.job, .settings = row.settings, .gs = "real", .through_cups = true});
        if (!row.to_cupsd.empty()) {
            EXPECT_EQ(run.err, row.to_cupsd);
        }
        std::istringstream lines(run.err);
        for (std::string line; std::getline(lines, line);)
            EXPECT_TRUE(std::regex_match(line, inert)) << line;
    }
    Filter_Run broken = run_filter(
        {.job = message_cases[9].job, .settings = LT_GREY, .gs = "real", .through_cups = true});
    EXPECT_EQ(broken.status, 2);
    EXPECT_NE(broken.err.find("DEBUG: Error: /undefined in not-an-operator\n"), std::string::npos);
    EXPECT_TRUE(broken.err.ends_with("ERROR: Ghostscript could not rasterize the job\n"));
}

// The lines, sorted: what the job prints and the pages come through two pipes, in no set order.
std::multiset<std::string> lines_of(const std::string &text) {
    std::multiset<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.insert(line);
    return lines;
}

std::string page_lines(int pages) {
    std::string lines;
    for (int page = 1; page <= pages; ++page)
        lines += "PAGE: " + std::to_string(page) + " 1\n";
    return lines;
}

struct Page_Case {
    Filter_Setup setup;
    std::string to_cupsd;
    int status;
};

const std::string THREE_PAGES = "%!PS\n(PAGE: 99 1\n) print showpage showpage showpage\n";

const Page_Case page_cases[] = {
    {{.job = THREE_PAGES, .settings = LT_GREY, .gs = "real"},
     "DEBUG: PAGE: 99 1\n" + page_lines(3),
     0},
    {{.job = THREE_PAGES, .settings = LT_GREY, .gs = "real", .input = Job_Input::Pipe},
     "DEBUG: PAGE: 99 1\n" + page_lines(3),
     0},
    {{.job = "Plain text\n"}, page_lines(1), 0},
    {{.job = "Plain text\n", .input = Job_Input::Pipe}, page_lines(1), 0},
    {{.job = ""}, "", 0},
    {{.job = "\x89PNG\r\n\x1a\n\x7f\xff\xff\xffIDAT"s + std::string(1 << 20, 'x')}, // never ends
     page_lines(1),
     0},
    {{.job = "%!PS\n", .settings = LT_GREY, .gs = "1"}, // the stand-in's data is no PNG
     "PAGE: 1 1\nERROR: Ghostscript could not rasterize the job\n",
     2},
    {{.job = "text\n", .output_full = true},
     "ERROR: ravofilter-cups: cannot hand the printer data on: No space left on device\n"
     "PAGE: 1 1\n",
     1},
};

// Pages are counted in the PNG data, which passes unchanged, whatever the job prints.
TEST(CupsFilter, ReportsThePagesItHandsOn) {
    for (const Page_Case &row : page_cases) {
        SCOPED_TRACE(row.setup.job.substr(0, 12) + " input " +
                     std::to_string(int(row.setup.input)));
        Filter_Setup through_cups = row.setup;
        through_cups.through_cups = true;
        Filter_Run run = run_filter(through_cups);
        EXPECT_EQ(run.status, row.status);
        EXPECT_EQ(lines_of(run.err), lines_of(row.to_cupsd));
        EXPECT_FALSE(run.private_dirs_left);
        if (row.status == 0) {
            Filter_Setup direct = row.setup;
            direct.input = Job_Input::File;
            EXPECT_TRUE(run.out == run_filter(direct).out); // byte for byte
        }
    }
}

// cupsd cancels with SIGTERM: Ghostscript ends, and no job copy or directory stays behind.
TEST(CupsFilter, CancelLeavesNothing) {
    for (Job_Input input : {Job_Input::File, Job_Input::Pipe}) {
        Filter_Run run = run_filter({.job = "%!PS\n",
                                     .settings = LT_GREY,
                                     .gs = "hang",
                                     .input = input,
                                     .terminate_with = SIGTERM,
                                     .through_cups = true});
        EXPECT_TRUE(run.gs_ran);
        EXPECT_FALSE(run.processes_left);
        EXPECT_FALSE(run.private_dirs_left);
        EXPECT_EQ(run.err.find("ERROR"), std::string::npos) << run.err;
    }
}

} // namespace

// The PPD of a CUPS queue, written through the filter's own reader, must tell CUPS the paper,
// colour and resolution the filter will rasterize with, and read back as the checker reads
// queues' PPDs.
TEST(CupsPpd, SaysWhatTheFilterDoes) {
    struct Case {
        const char *settings;
        const char *page_size;
        int colour_device;
        const char *resolution;
    };
    const Case cases[] = {
        {"[Q]\nink=MONO\nresolution=720\nmediasize=A3\n", "A3", 0, "*DefaultResolution: 720dpi\n"},
        {"[Q]\nink=COLOR\nresolution=1440\nmediasize=LT\n", "LT", 1,
         "*DefaultResolution: 1440dpi\n"},
        {"[Q]\nink=MONO\nresolution=360\nmediasize=ENV10\n", "ENV10", 0,
         "*DefaultResolution: 360dpi\n"},
        {"[Other]\nink=MONO\n", "A4", 1, "*DefaultResolution: 360dpi\n"}, // the defaults
    };
    const std::string path = testing::TempDir() + "ppd_test.ravorc";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.settings);
        FILE *settings = fopen(path.c_str(), "w");
        ASSERT_NE(settings, nullptr);
        fputs(c.settings, settings);
        fclose(settings);
        FILE *ppd = tmpfile();
        ASSERT_NE(ppd, nullptr);
        write_ppd(ppd, read_printer_setup(path.c_str()), path.c_str());
        rewind(ppd);
        const Ppd_Facts facts = read_ppd_facts(ppd);
        EXPECT_TRUE(facts.uses_ravofilter);
        EXPECT_STREQ(facts.page_size, c.page_size);
        EXPECT_EQ(facts.color_device, c.colour_device);
        std::string text(1 << 16, '\0');
        rewind(ppd);
        text.resize(fread(text.data(), 1, text.size(), ppd));
        EXPECT_NE(text.find(c.resolution), std::string::npos);
        fclose(ppd);
    }
    unlink(path.c_str());
}

// The CUPS driver program, as cups-driverd runs it for lpinfo -m and lpadmin -m.
TEST(CupsDriver, ListsAndWritesItsPpd) {
    struct Case {
        const char *arguments;
        int status;
        const char *output_starts; // standard output and error
    };
    const Case cases[] = {
        {"list", 0,
         "\"ravofilter:quorvin-7x.ppd\" en \"Quorvin\" \"Quorvin 7X Series, ravofilter\""},
        {"cat ravofilter:quorvin-7x.ppd", 0, "*PPD-Adobe: \"4.3\"\n"},
        {"cat ravofilter:other.ppd", 1, "ERROR: ravofilter: no PPD named \"ravofilter:other.ppd\""},
        {"", 1, "Usage: ravofilter list | ravofilter cat ravofilter:quorvin-7x.ppd\n"},
        {"list extra", 1, "Usage: "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arguments);
        FILE *driver = popen((std::string(CUPS_DRIVER) + " " + c.arguments + " 2>&1").c_str(), "r");
        ASSERT_NE(driver, nullptr);
        std::string output(1 << 16, '\0');
        output.resize(fread(output.data(), 1, output.size(), driver));
        const int status = pclose(driver);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.status);
        EXPECT_EQ(output.rfind(c.output_starts, 0), 0u) << output.substr(0, 200);
    }
}
