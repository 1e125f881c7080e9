// SPDX-License-Identifier: BSD-2-Clause
/*
 * What is told once the run is over: the summary of each child's zombie
 * span, and the timeline, one row a process, from the log alone.
 */
#ifndef ZOMBIE_TIMELINE_H
#define ZOMBIE_TIMELINE_H

#include <string>

#include "core/log.h"
#include "report/words.h"

/* One line a child that was a zombie, or why there is none. */
std::string summary(const Log &log);
/* The run, one row a process, as wide as the run from 0 to end needs. */
std::string timeline(const Log &log, Nanos end, const Style &style);
/* The narrowest column that fits a run this long. */
Nanos column_width(Nanos run);

#endif
