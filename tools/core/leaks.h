// SPDX-License-Identifier: BSD-2-Clause
/*
 * The leak check's decisions, from the log alone: each zombie that a
 * process of the tree held longer than the limit, or left uncollected as
 * it ended.  A zombie held by the watcher, the reaper above the tree, is
 * no leak of the program's: a double fork hands its grandchild there.
 */
#ifndef ZOMBIE_LEAKS_H
#define ZOMBIE_LEAKS_H

#include <vector>

#include "core/log.h"
#include "core/status.h"

struct Leak {
	ProcId child = 0;
	ProcId parent = 0; /* the process of the tree that held it */
	/* From its end, or from when it was handed to parent a zombie. */
	Nanos held = 0;
	bool at_most = false; /* held is the most it can have been */
	bool left = false;    /* parent ended with it still a zombie */
	bool open = false;    /* still a zombie when the check ended */
};

struct LeakCheck {
	std::vector<Leak> leaks;
	/* Ended processes whose collection could not be judged: not
	 * followed to their end, or not collected yet, within the limit,
	 * when the check ended. */
	size_t unjudged = 0;
};

/* end: when the check ended, for the zombies not collected by then. */
LeakCheck find_leaks(const Log &log, Nanos limit, Nanos end);
/* What the exit status is decided from. */
CheckFound tally(const LeakCheck &c);

#endif
