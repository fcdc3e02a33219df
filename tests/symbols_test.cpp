// The shipped executable's dynamic symbol table: what it exports, with which sizes, and
// that the filter's own functions stay out of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

namespace {

struct Symbol {
    char kind; // nm's letter: T code, D or R data
    unsigned long size;
};

std::map<std::string, Symbol> dynamic_symbols(const char *executable) {
    std::map<std::string, Symbol> symbols;
    FILE *nm = popen((std::string("nm -D -S --defined-only ") + executable).c_str(), "r");
    char line[512];
    while (nm != nullptr && fgets(line, sizeof line, nm) != nullptr) {
        std::istringstream fields(line);
        std::string address, size, kind, name;
        if (fields >> address >> size >> kind >> name)
            symbols[name] = {kind[0], std::stoul(size, nullptr, 16)};
    }
    if (nm != nullptr) pclose(nm);
    return symbols;
}

TEST(Symbols, ExportedUnderPlainNamesWithTheirLayouts) {
    const struct {
        const char *name;
        bool code;
        unsigned long size; // 0: not checked (code)
    } rows[] = {
        {"main", true, 0},
        {"call_paper_conf", true, 0},
        {"round_off", true, 0},
        {"Def_Conf", false, 16},
        {"Params", false, 32},
        {"Param_Num", false, 4},
        {"Inks", false, 16},
        {"Ink_Num", false, 4},
        {"paper_auto", false, 31 * 32},
        {"paper_roll", false, 17 * 32},
        {"paper_roll_trim", false, 10 * 32},
        {"paper_auto_trim", false, 3 * 32},
        {"paper_auto_trim_4", false, 7 * 32},
    };
    const auto symbols = dynamic_symbols(SHIPPED_FILTER);
    for (const auto &row : rows) {
        auto found = symbols.find(row.name);
        ASSERT_NE(found, symbols.end()) << row.name;
        EXPECT_EQ(found->second.kind == 'T', row.code) << row.name;
#ifndef RAVOFILTER_SANITIZE // AddressSanitizer pads every global
        if (row.size != 0) {
            EXPECT_EQ(found->second.size, row.size) << row.name;
        }
#endif
    }
    // Nothing else: the linker's own symbols and glibc's copied streams aside, every
    // exported symbol is one of the rows (the filter's other functions stay local). A
    // sanitized or coverage build exports its runtime too.
#if !defined(RAVOFILTER_SANITIZE) && !defined(RAVOFILTER_COVERAGE)
    const std::set<std::string> linker = {"_IO_stdin_used", "__bss_start", "__data_start", "_edata",
                                          "_end",           "_start",      "data_start"};
    for (const auto &symbol : symbols) {
        const bool expected = std::any_of(std::begin(rows), std::end(rows), [&](const auto &row) {
            return symbol.first == row.name;
        });
        EXPECT_TRUE(expected || linker.count(symbol.first) ||
                    symbol.first.find("@GLIBC") != std::string::npos)
            << symbol.first;
    }
#endif
}

} // namespace
