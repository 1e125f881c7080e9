// SPDX-License-Identifier: BSD-2-Clause
/*
 * What is told once the run is over: the summary of each child's zombie
 * span, and the timeline, one row a process, from the log alone.
 */
#ifndef ZOMBIE_TIMELINE_H
#define ZOMBIE_TIMELINE_H

#include <string>
#include <vector>

#include "core/log.h"
#include "report/words.h"

/* One line a child that was a zombie, or why there is none. */
std::string summary(const Log &log);
/* The run, one row a process, as wide as the run from 0 to end needs. */
std::string timeline(const Log &log, Nanos end, const Style &style);
/* The narrowest column that fits a run this long. */
Nanos column_width(Nanos run);
/* The same, in at most this many columns. */
Nanos column_width(Nanos run, int most);

/* One letter of the timeline over a stretch of time. */
struct Stretch {
	Nanos from;
	Nanos to;
	char letter;
};

/* The processes the timeline shows, and how many more there were. */
std::vector<ProcId> timeline_rows(const Log &log, size_t *more);
/* A row's stretches in time's order, none empty, none overlapping. */
std::vector<Stretch> timeline_row(const Log &log, ProcId id, Nanos end);

#endif
