// SPDX-License-Identifier: BSD-2-Clause
/* zombie-watch --scan: read /proc once, and say what holds each zombie. */
#ifndef ZOMBIE_SCAN_MODE_H
#define ZOMBIE_SCAN_MODE_H

#include "cmd/options.h"
#include "core/status.h"

/*
 * Writes the scan, as text or JSON, to --output's file or standard
 * output; what the status is decided from.  Its one JSON object is the
 * whole answer: no last line follows it.
 */
ExitFacts scan_mode(const Options &o);
/*
 * --pid of a process that is a zombie already: nothing to follow, but why
 * it stays, as the scan would say, and the end.  Nothing if it is not one.
 */
std::optional<ExitFacts> zombie_mode(const Options &o);

#endif
