// SPDX-License-Identifier: BSD-2-Clause
/*
 * The story as it happens: one paragraph an event, its line stamped with
 * its time and the reasons folded under it, from the log alone.
 */
#ifndef ZOMBIE_NARRATE_H
#define ZOMBIE_NARRATE_H

#include <cstddef>
#include <string>

#include "core/log.h"
#include "report/words.h"

/*
 * The paragraph for event i: its line, stamped with its time, and the
 * reasons folded under it; empty for events that print nothing.  Only
 * what came before i in the log is used, as when it is printed live.
 */
std::string narrate(const Log &log, size_t i, const Style &style);

#endif
