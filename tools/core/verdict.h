// SPDX-License-Identifier: BSD-2-Clause
/*
 * The reaper check's decisions, from the log alone: for each orphan handed
 * to a reaper other than the watcher, whether that reaper collected it, or
 * the kernel released it, or it stayed a zombie; and the check's exit
 * status from them.  The words for them are the report's.
 */
#ifndef ZOMBIE_VERDICT_H
#define ZOMBIE_VERDICT_H

#include <cstdint>
#include <optional>
#include <vector>

#include "core/log.h"
#include "core/status.h"

/* What the reaper check found for one orphan. */
enum class Outcome : std::uint8_t {
	Collected,    /* its reaper called wait and got its status */
	Released,     /* the kernel released it: its reaper ignores SIGCHLD */
	NotCollected, /* a zombie still when its wait ran out, or was cut
			 short by a signal */
	Unfollowed,   /* it could not be followed to its end: no verdict */
	Running,      /* it still ran when the check ended: no verdict */
};

struct Verdict {
	ProcId orphan = 0;
	Outcome outcome = Outcome::Collected;
	std::optional<ProcId> reaper;    /* who it was handed to */
	std::optional<ProcId> collector; /* who collected it, if anyone did */
	/* Collected: from its end, or from its hand-over if it was a zombie
	 * then; NotCollected: how long it was given. */
	std::optional<Nanos> delay;
	bool zombie_at_handover = false;
	bool at_most = false; /* delay is the most it can be */
	Guess guess = Guess::None;
};

/*
 * One verdict each orphan left to a reaper other than the watcher, in the
 * order the log has them; wait is how long each was given once it could
 * be collected.
 */
std::vector<Verdict> judge(const Log &log, Nanos wait);
/* How many verdicts settled an orphan, found one still a zombie, or
 * could conclude nothing: what the exit status is decided from. */
CheckFound tally(const std::vector<Verdict> &v);

#endif
