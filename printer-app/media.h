// The printer's media as IPP names them: each paper source of the paper tables as a PWG
// media source, and each of its sizes by a PWG self-describing name computed from the
// table's dimensions. The lookup goes back from those names to the tables' entries.
#pragma once

#include "../paper/paper.h"

#include <cstddef>

// 1/360 inch in hundredths of millimetres, as IPP gives media dimensions.
int units_to_hmm(int32_t units);

// The PWG media-source keyword of a paper source word, and back; null when unknown.
const char *pwg_source(const char *paper_source);
const char *paper_source_of(const char *pwg_source);

// The PWG self-describing size name of a table entry: the registered name when the entry is
// that size to within half a millimetre, else a "custom_" name with the table's name.
void pwg_size_name(const Paper_Conf &paper, char *name, size_t size);

// The entry of the paper source's table whose size is named pwg_name; null when that source
// does not take it.
const Paper_Conf *paper_for(const char *paper_source, const char *pwg_name);

// Every size name that some source takes, each once, in table order; returns the count.
int all_size_names(char names[][64], int capacity);
