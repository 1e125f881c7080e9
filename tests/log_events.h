// SPDX-License-Identifier: BSD-2-Clause
/* Events as the tracker logs them, for the unit tests' hand-made logs. */
#ifndef ZOMBIE_TESTS_LOG_EVENTS_H
#define ZOMBIE_TESTS_LOG_EVENTS_H

#include <optional>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/status.h"
#include "core/verdict.h"

constexpr Nanos ms = 1'000'000;
constexpr Nanos sec = 1000 * ms;

inline Event
at(Nanos t, What what, ProcId proc, std::optional<ProcId> other = {})
{
	Event e;
	e.t = t;
	e.what = what;
	e.proc = proc;
	e.other = other;
	return e;
}

inline Event
ended(Nanos t, ProcId proc, ProcId parent, int status, bool zombie = true)
{
	Event e = at(t, What::Ended, proc, parent);
	e.status = status;
	e.zombie = zombie;
	return e;
}

inline Event
collected(Nanos t, ProcId proc, std::optional<ProcId> by, How how)
{
	Event e = at(t, What::Collected, proc, by);
	e.how = how;
	return e;
}

inline Event
orphaned(Nanos t, ProcId proc, ProcId to, char state)
{
	Event e = at(t, What::Orphaned, proc, to);
	e.state = state;
	return e;
}

/* The status a --check-reaper run ends with, given these verdicts. */
inline int
status_of_check(const std::vector<Verdict> &v)
{
	ExitFacts f;
	f.mode = Mode::Check;
	f.check = tally(v);
	return static_cast<int>(exit_status(f));
}

/* Whether text says part, anywhere. */
inline bool
has(const std::string &text, const char *part)
{
	return text.find(part) != std::string::npos;
}

#endif
