// SPDX-License-Identifier: BSD-2-Clause
/*
 * Before the watch and around the program: what the watcher sets up and
 * keeps of what it inherited, starting the program (or the reaper probe)
 * only once the watcher holds it, and, if the watcher fails once the
 * program runs, staying with it until it ends.
 */
#ifndef ZOMBIE_LAUNCH_H
#define ZOMBIE_LAUNCH_H

#include <signal.h>
#include <sys/resource.h>

#include <optional>
#include <string>

#include "cmd/failure.h"
#include "core/status.h"
#include "report/words.h"

/* What the watcher inherited, handed on to the program untouched. */
struct Inherited {
	sigset_t mask = {};
	struct sigaction sigchld = {};
	struct rlimit files = {};
};

struct Watch;
class Tracker;

/* Started with 0, 1 or 2 closed, the watcher's own files would take them. */
std::optional<Failure> standard_files();
/*
 * pidfds and /proc must agree on who is who: a /proc mounted for another
 * PID namespace, as after nsenter -p without -m, names other processes.
 */
std::optional<Failure> proc_check();
/* The output, the signals, the epoll set: all made before anything runs. */
std::optional<Failure> setup(Watch &w);
/* How text for fd is written: its width, folded or not, coloured or not. */
Style text_style(int fd);
/* Random, so that no line the program prints can pass for ours. */
Result<std::string> run_id();
/*
 * Forks the program, holds it, then lets it run.  A failure before it
 * runs has it end unrun, collected; a failure after leaves it running,
 * for give_up.  A program that cannot be run is collected, and its
 * failure carries the exec's error.
 */
std::optional<Failure> start(Watch &w, Tracker &tr);
/*
 * Tells f, and, where the program runs still, leaves it nothing to fear:
 * lets the probe's orphans go, and stays its parent until it ends, passing
 * on the signals that would end it; checking the reaper, until the first
 * such signal.  What the status is decided from.
 */
ExitFacts give_up(Watch &w, const Tracker &tr, const Failure &f);

#endif
