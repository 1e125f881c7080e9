// SPDX-License-Identifier: BSD-2-Clause
/*
 * What the learner reads, rendered from the event log alone: the story as
 * it happens, the periodic picture, the summary, the timeline and the
 * reaper's verdicts.  Nothing here reads the system or keeps state.
 */
#ifndef ZOMBIE_RENDER_H
#define ZOMBIE_RENDER_H

#include <optional>
#include <string>

#include "log.h"

struct Style {
	int width = 78;      /* reasons are folded to fit this */
	bool colour = false; /* the timeline's zombie cells stand out */
	Nanos reaper_wait = 10'000'000'000; /* how long each was given */
};

/* "exited with status 0", "was killed by signal 15 (SIGTERM)", "ended". */
std::string describe_status(const std::optional<int> &status);
/* "parent 42", "child 43", "zombie-watch (41)", "PID 1 (init)". */
std::string label(const Log &log, ProcId id);

/*
 * The paragraph for event i: its line, stamped with its time, and the
 * reasons folded under it; empty for events that print nothing.  Only
 * what came before i in the log is used, as when it is printed live.
 */
std::string narrate(const Log &log, size_t i, const Style &style);
/* One line a child that was a zombie, or why there is none. */
std::string summary(const Log &log);
/* The run, one row a process, as wide as the run from 0 to end needs. */
std::string timeline(const Log &log, Nanos end, const Style &style);
/* One verdict an orphan, under --check-reaper. */
std::string verdicts(const Log &log, const Style &style);
/* Every orphan was collected or released, and each was followed. */
bool reaper_passed(const Log &log);
/* The narrowest column that fits a run this long. */
Nanos column_width(Nanos run);

#endif
