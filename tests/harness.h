// SPDX-License-Identifier: BSD-2-Clause
/*
 * The one harness of the end-to-end tests: it runs a real built program as
 * a child subreaper and watches it from outside, the way a student with ps
 * would, so that orphans come back to it and their status can be read.
 */
#ifndef ZOMBIE_TESTS_HARNESS_H
#define ZOMBIE_TESTS_HARNESS_H

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <string>
#include <vector>

/*
 * Stalled: a pipe of one page, non-blocking on the program's side, that
 * the harness leaves unread for its first STALL seconds.
 */
enum class Out { Pipe, File, Tty, Closed, Full, Missing, Stalled };
constexpr double STALL = 3.0;

struct Options {
	Out out = Out::Pipe;
	std::vector<std::string> args;
	bool ignore_sigchld = false;
	bool ignore_sighup = false; /* as nohup starts it */
	bool fail_fork = false;
	bool no_perf = false;
	bool no_pidfd = false;
	bool no_timerfd = false;
	bool no_waitid = false;
	std::vector<std::string> env; /* NAME=VALUE, set for it */
	const char *program = ZOMBIE_PATH;
	double signal_at = -1; /* once the child is seen */
	/* ... and catches the signal: a handler that must be in place first. */
	bool signal_caught = false;
	/* ... and has a child of its own, which the signal must find. */
	bool signal_grandchild = false;
	/* ... sent to that grandchild alone, as to a watcher under pid1. */
	bool signal_to_grandchild = false;
	int signo = SIGTERM;
	int signal_times = 1;      /* half a second apart */
	bool signal_group = false; /* as a terminal does, or the parent only */
	/* The terminal is its controlling one: a signal is typed, as ^C. */
	bool typed = false;
};

/* What an observer saw; times are seconds since the program started. */
struct Seen {
	pid_t parent = -1, child = -1;
	std::string child_states; /* each change of /proc state, e.g. "SZ" */
	bool child_reparented = false, foreign_ppid = false;
	double zombie_at = -1, child_vanished_at = -1;
	double parent_exit_at = -1, child_reaped_at = -1;
	int parent_status = -1, child_status = -1, strangers_reaped = 0;
	/* The child's own child, as a watcher's run creates it. */
	pid_t grandchild = -1;
	/* When each started, as /proc gives it: a number used again is not it.
	 */
	unsigned long long child_start = 0, grandchild_start = 0;
	double grandchild_zombie_at = -1, grandchild_gone_at = -1;
	double signalled_at = -1; /* the first signal went no earlier */
	std::string out, err;
	std::vector<double> out_line_at; /* when each line of out arrived */
};

/* Seconds on the monotonic clock. */
double now();

/* Starts the program and watches it until every process has been reaped. */
Seen watch(const Options &o);

/* The program's options, writing to out. */
Options with(Out out, std::vector<std::string> args = {});

/* The watcher as the program, writing to a pipe. */
Options watcher(std::vector<std::string> args = {});

/* Runs args in a new PID namespace under the tests' init, as mode says. */
Options under_pid1(const char *mode, std::vector<std::string> args);

/* The demonstration's own line, as r's processes must print it. */
std::string announcement(const Seen &r);

/* A number of seconds as the watcher prints it, "30.002". */
double seconds(const char *s);

/* When the first line of out that matches arrived; its captures in m. */
double line(const Seen &r, const std::string &pattern,
    std::vector<std::string> *m = nullptr);

/* The program's own process, as the watcher announced it. */
std::string program_pid(const Seen &r);

/* How the program ended. */
bool ended_by(const Seen &r, int signo);
bool exited(const Seen &r, int status);

/* Anything the watcher left uncollected would have come to the harness. */
void expect_nothing_left(const Seen &r);

/* The watcher on one of the tests' process families. */
Seen family(const char *mode, bool no_perf = false);

/* Copies a program, as cp would, without a shell to run cp. */
bool copy_program(const char *from, const std::string &to);

/*
 * A copy of a program, with the mode given, in a folder of its own that
 * every user may reach, whatever the build's folders allow: for a test
 * that runs it as nobody.  Both go with it; path is empty if it could not
 * be made.
 */
class ProgramCopy {
      public:
	ProgramCopy(const char *from, mode_t mode = 0755);
	ProgramCopy(const ProgramCopy &) = delete;
	ProgramCopy &operator=(const ProgramCopy &) = delete;
	~ProgramCopy();
	const std::string &path() const
	{
		return path_;
	}

      private:
	std::string dir_, file_, path_;
};

/*
 * What a python3 script prints, given text as the file named sys.argv[1];
 * the test fails if the script does.
 */
std::string run_python(const char *script, const std::string &text);

/* Sleeps are never early; the upper slack absorbs a loaded machine. */
#define EXPECT_AROUND(t, want)                                                 \
	do {                                                                   \
		EXPECT_GE((t), (want)-0.2);                                    \
		EXPECT_LE((t), (want) + 3.0);                                  \
	} while (0)

/* Real PID namespaces need root; CI has it, so there they must run. */
#define NEED_ROOT()                                                            \
	do {                                                                   \
		if (geteuid() != 0 && getenv("CI") != nullptr)                 \
			FAIL() << "PID namespaces need root, which CI has";    \
		if (geteuid() != 0)                                            \
			GTEST_SKIP() << "PID namespaces need root";            \
	} while (0)

/* Runs args in a new PID namespace under an init that behaves as mode. */
#endif
