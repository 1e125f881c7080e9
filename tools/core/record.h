// SPDX-License-Identifier: BSD-2-Clause
/*
 * The plain facts the system hands the core: the kernel's fork and exit
 * records and what a process's stat line says.  The system layer fills
 * them in; nothing here knows where they came from, so that a test can
 * write them by hand.
 */
#ifndef ZOMBIE_RECORD_H
#define ZOMBIE_RECORD_H

#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <string>

/* Nanoseconds since the watcher started, on CLOCK_MONOTONIC. */
using Nanos = std::int64_t;

/* What a stat line says; counts are minor page faults. */
struct Stat {
	pid_t pid = 0;
	std::string comm; /* as the kernel has it, ")" and all */
	char state = 0;
	pid_t ppid = 0;
	long long minflt = 0, cminflt = 0;
	long long start_ticks = 0; /* clock ticks since boot */
	int threads = 0;
	/* Its flags hold PF_EXITING: it is on its way out. */
	bool exiting = false;
	/* What its parent is sent as it ends: 0 for none, as clone allows. */
	int exit_signal = SIGCHLD;
	int exit_code = 0; /* as wait reports it, once it has exited */
};
/*
 * A fork or exit record, or an exec's (neither fork nor exit); a thread
 * shares its process's number.
 */
struct Record {
	bool fork = false;
	bool exec = false;
	pid_t pid = 0, ppid = 0, tid = 0, ptid = 0;
	Nanos t = 0;      /* the kernel's CLOCK_MONOTONIC, less t0 */
	std::string comm; /* exec: the program's name, as the kernel has it */
};
/*
 * Records the kernel could not write, its ring being full: how many, and
 * the gap they fell in, from the last record written before it to the
 * first after it (or to when the ring was read).
 */
struct Loss {
	std::uint64_t records = 0;
	Nanos after = 0, before = 0;
	/*
	 * A ring was found full: the kernel counts what it drops, but says
	 * so only once it has room for its next record, so more may have
	 * been lost than counted yet.
	 */
	bool full = false;
};

#endif
