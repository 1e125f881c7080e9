// SPDX-License-Identifier: BSD-2-Clause
/*
 * What zombie-watch --scan found: the zombies there are now, grouped by the
 * parent that holds them, with what /proc shows of why each parent has not
 * collected them.  Plain data: the system layer reads it from /proc, the
 * report prints it, and a test can make one by hand.
 */
#ifndef ZOMBIE_CORE_SCAN_H
#define ZOMBIE_CORE_SCAN_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/record.h"

/* A process as the scan names it: "4242 (bash)". */
struct Named {
	pid_t pid = 0;
	std::string comm;
};

struct ScanZombie {
	Named proc;
	Nanos age = 0; /* since it started: when it ended is not recorded */
};

/* Why a parent's zombies stay, from its own state. */
enum class Hold : std::uint8_t {
	Alive,   /* it runs, or sleeps, and has not called wait */
	Stopped, /* T: it cannot call wait until it is continued */
	Traced,  /* t: stopped by its tracer */
	Init,    /* the init of a PID namespace, which nothing can replace */
	Outside, /* in a PID namespace above this one: not visible here */
	Gone,    /* it could not be read: it may have just ended */
};

/* SIGCHLD's disposition, bit 16 of SigCgt and SigIgn. */
enum class Sigchld : std::uint8_t { Default, Caught, Ignored };

struct ScanParent {
	Named proc; /* pid 0 where the parent is Outside */
	Hold hold = Hold::Alive;
	char state = 0;
	int threads = 1;
	bool main_exited = false; /* its other threads run on (Zl) */
	/* The pid namespace it is in is below this one; proc.pid is ours. */
	bool nested = false;
	/* From its status, unless that could not be read. */
	std::optional<Sigchld> sigchld;
	bool blocked = false; /* by its main thread, SigBlk */
	std::optional<Named> tracer;
	/* Oldest first. */
	std::vector<ScanZombie> zombies;
	/*
	 * Where its end would hand them, in the kernel's order: the
	 * ancestors that could be child subreapers (which /proc does not
	 * show), nearest first, then the init of its namespace, if found.
	 */
	std::vector<Named> ancestors;
	std::optional<Named> init;
};

/* A process whose main thread exited while other threads run: Zl. */
struct ScanLeader {
	Named proc;
	pid_t ppid = 0;
	int threads = 0; /* still running */
};

struct Scan {
	std::vector<ScanParent> parents; /* the most zombies first */
	std::vector<ScanLeader> leaders;
	/* Why other users' processes could not be seen: the option /proc is
	 * mounted with ("hidepid=2"); nothing where all could be. */
	std::optional<std::string> hidden_by;
};

/* How many zombies, under every parent. */
size_t zombie_count(const Scan &scan);

#endif
