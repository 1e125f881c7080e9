// SPDX-License-Identifier: BSD-2-Clause
/*
 * --check-reaper: the probe that makes two orphans for the system's reaper
 * when no program is given, holding them until the watcher follows them;
 * the refusal to check as PID 1; and what the check found.
 */
#ifndef ZOMBIE_REAPER_H
#define ZOMBIE_REAPER_H

#include <sys/types.h>

#include <vector>

#include "cmd/failure.h"
#include "cmd/launch.h"
#include "core/record.h"
#include "core/status.h"
#include "report/narrate.h"
#include "report/timeline.h"
#include "report/verdicts.h"
#include "report/words.h"
#include "sys/fd.h"

/* Longer than this unfollowed, the probe's orphans go anyway. */
constexpr Nanos PROBE_HOLD = 2'000'000'000;

struct Watch;
class Tracker;

/*
 * The probe, run in the child in place of a program: it reports its
 * orphans' numbers on report and holds them until hold is closed.
 */
[[noreturn]] void probe_run(const Inherited &in, Fd report, Fd hold);
/* The probe's two orphans, as it reported them. */
Result<std::vector<pid_t>> probe_pids(const Fd &report);
/* Lets the probe's orphans go once each is followed. */
void probe_release(Watch &w, Tracker &tr);
/* Says why the check cannot run as PID 1; what the status is decided
 * from. */
ExitFacts refuse_pid1();
/*
 * What the check found, for its status.  The program's own status, which
 * the check's replaces, goes to standard error if it is not 0.
 */
CheckFound check_found(const Watch &w, const Tracker &tr, CheckFound found);

#endif
