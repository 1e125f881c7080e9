// SPDX-License-Identifier: BSD-2-Clause
/*
 * The status zombie-watch ends with, decided in one place from what
 * happened: the mode, the program's end, what the reaper check and the
 * scan found, and what failed.  The numbers are the manual's.
 */
#ifndef ZOMBIE_STATUS_H
#define ZOMBIE_STATUS_H

#include <cstddef>
#include <cstdint>
#include <optional>

/*
 * The named statuses; the program's own status, and 128+N for a program
 * (or a watcher) ended by signal N, pass through as their numbers.
 */
enum class ExitStatus : int {
	Ok = 0,
	Usage = 2,       /* the command line was wrong: nothing ran */
	Zombie = 3,      /* an orphan was not collected; --scan: one is */
	Unchecked = 4,   /* the reaper check could conclude nothing */
	Failed = 125,    /* the watcher itself failed */
	CannotRun = 126, /* the program could not be run */
	NotFound = 127,  /* the program was not found */
};

enum class Mode : std::uint8_t {
	Help,   /* --help or --version: nothing runs */
	Run,    /* a program, the watcher its subreaper */
	Check,  /* --check-reaper */
	Leaks,  /* --check-leaks: a program, judged on its collections */
	Follow, /* --pid */
	Scan,   /* --scan */
	Serve,  /* --serve: until a signal ends it */
};

/* What the reaper check found: how many orphans had each verdict. */
struct CheckFound {
	size_t settled = 0;       /* collected, or released by the kernel */
	size_t not_collected = 0; /* a zombie still when its wait ran out */
	size_t unjudged = 0;      /* not followed to its end, or running */
};

/*
 * Why the watcher ended, as its last JSON line names it: the first that
 * applies, in the order the status is decided.
 */
enum class EndReason : std::uint8_t {
	Done,      /* it ran to its end, or told what was asked */
	Usage,     /* the command line was wrong */
	NotFound,  /* the program was not found */
	CannotRun, /* the program could not be run */
	NoProcess, /* --pid names no process */
	Failed,    /* a system call or /proc failed */
	Output,    /* its own output failed */
	Pid1,      /* --check-reaper as PID 1: no reaper above it */
	Signal,    /* a signal ended it, and it ends by that signal */
};

/* Everything the status depends on. */
struct ExitFacts {
	Mode mode = Mode::Run;
	bool usage_error = false;
	/* A system call or /proc. */
	bool failed = false;
	bool no_process = false;    /* --pid names none */
	bool output_failed = false; /* the watcher's own output */
	/* The errno value of the program's exec, if it failed. */
	std::optional<int> exec_error;
	/* The program's wait status, once the watcher collected it. */
	std::optional<int> program;
	/* The signal that ended the watch; the watcher ends by it too. */
	int signal = 0;
	/* --check-reaper; --check-leaks, each leak one not collected */
	CheckFound check;
	bool records_refused = false; /* children were looked for instead */
	bool records_lost = false;    /* the kernel's rings overflowed */
	bool probe = false;           /* the built-in probe, not a program */
	bool pid1 = false;            /* no reaper is above the watcher */
	/* --scan: the zombies there are, of those it could see. */
	size_t zombies = 0;
	bool scan_hidden = false; /* other users' processes were hidden */
	/* --scan, or --pid of a zombie: one text or object was the whole
	 * answer, with no JSON end record after it. */
	bool answered = false;
};

ExitStatus exit_status(const ExitFacts &f);
/* The leak check's own answer, the status of a run that ended well. */
ExitStatus leaks_answer(const ExitFacts &f);
EndReason end_reason(const ExitFacts &f);

#endif
