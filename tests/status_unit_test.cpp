// SPDX-License-Identifier: BSD-2-Clause
/*
 * The exit status zombie-watch(1) promises under EXIT STATUS, one case a
 * line: what happened, and the number a shell or a CI job reads.
 */

#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>

#include <vector>

#include "core/status.h"

namespace {

/* Wait statuses as the kernel reports them. */
int
exited(int code)
{
	return code << 8;
}

int
killed(int signo)
{
	return signo;
}

/* Facts built up a clause at a time, so that a case fits on its line. */
struct F {
	explicit F(Mode m)
	{
		f.mode = m;
	}
	F &usage()
	{
		f.usage_error = true;
		return *this;
	}
	F &failed()
	{
		f.failed = true;
		return *this;
	}
	F &output()
	{
		f.output_failed = true;
		return *this;
	}
	F &gone()
	{
		f.no_process = true;
		return *this;
	}
	F &exec(int err)
	{
		f.exec_error = err;
		return *this;
	}
	F &program(int wait_status)
	{
		f.program = wait_status;
		return *this;
	}
	F &signal(int signo)
	{
		f.signal = signo;
		return *this;
	}
	F &found(size_t settled, size_t not_collected, size_t unjudged)
	{
		f.check = CheckFound{settled, not_collected, unjudged};
		return *this;
	}
	F &refused()
	{
		f.records_refused = true;
		return *this;
	}
	F &lost()
	{
		f.records_lost = true;
		return *this;
	}
	F &probe()
	{
		f.probe = true;
		return *this;
	}
	F &pid1()
	{
		f.pid1 = true;
		return *this;
	}
	F &zombies(size_t n)
	{
		f.zombies = n;
		return *this;
	}
	ExitFacts f;
};

struct Row {
	const char *what;
	F facts;
	int status;
};

void
expect(const std::vector<Row> &rows)
{
	for (const Row &r : rows)
		EXPECT_EQ(static_cast<int>(exit_status(r.facts.f)), r.status)
		    << r.what;
}

struct Why {
	const char *what;
	F facts;
	EndReason reason;
	int status;
};

/* The reason the last JSON line gives, and the status beside it. */
void
expect_reasons(const std::vector<Why> &rows)
{
	for (const Why &r : rows) {
		EXPECT_EQ(end_reason(r.facts.f), r.reason) << r.what;
		EXPECT_EQ(static_cast<int>(exit_status(r.facts.f)), r.status)
		    << r.what;
	}
}

} // namespace

TEST(ExitStatus, ARunEndsAsItsProgramDid)
{
	/* One case a line: a table, not code. */
	// clang-format off
	expect({
	    {"exit 0", F(Mode::Run).program(exited(0)), 0},
	    {"exit 7, passed on", F(Mode::Run).program(exited(7)), 7},
	    {"exit 255, passed on", F(Mode::Run).program(exited(255)), 255},
	    {"killed by SIGTERM, as a shell shows it", F(Mode::Run).program(killed(SIGTERM)), 143},
	    {"killed by SIGKILL", F(Mode::Run).program(killed(SIGKILL)), 137},
	    {"not found", F(Mode::Run).exec(ENOENT), 127},
	    {"not runnable", F(Mode::Run).exec(EACCES), 126},
	    {"the watcher failed, whatever the program did", F(Mode::Run).program(exited(7)).failed(), 125},
	    {"the watcher was ended by SIGINT, which it re-raises", F(Mode::Run).program(exited(7)).signal(SIGINT), 130},
	    {"its output failed too", F(Mode::Run).signal(SIGINT).output(), 125},
	    {"a usage error, before anything ran", F(Mode::Run).usage(), 2},
	    {"--help or --version", F(Mode::Help), 0},
	});
	// clang-format on
}

TEST(ExitStatus, TheReaperCheckIsItsVerdictsWhateverTheProgram)
{
	// clang-format off
	expect({
	    {"every orphan collected or released", F(Mode::Check).found(2, 0, 0), 0},
	    {"the program's own status is not the check's", F(Mode::Check).found(1, 0, 0).program(exited(5)), 0},
	    {"one not collected", F(Mode::Check).found(1, 1, 0), 3},
	    {"one not collected outweighs one unjudged", F(Mode::Check).found(0, 1, 1), 3},
	    {"no orphan reached a reaper", F(Mode::Check), 4},
	    {"one could not be followed, or still ran", F(Mode::Check).found(1, 0, 1), 4},
	    {"without records a program's orphan may be missed", F(Mode::Check).found(1, 0, 0).refused(), 4},
	    {"the probe needs no records", F(Mode::Check).found(2, 0, 0).refused().probe(), 0},
	    {"with records lost an orphan may be missed", F(Mode::Check).found(1, 0, 0).lost(), 4},
	    {"the probe's orphans are told it, lost records or not", F(Mode::Check).found(2, 0, 0).lost().probe(), 0},
	    {"one not collected is still a failure without records", F(Mode::Check).found(0, 1, 0).refused(), 3},
	    {"as PID 1, no reaper is above it", F(Mode::Check).pid1(), 4},
	    {"the program was not found", F(Mode::Check).exec(ENOENT), 127},
	    {"the program could not be run", F(Mode::Check).exec(EACCES), 126},
	    {"the watcher failed", F(Mode::Check).found(2, 0, 0).failed(), 125},
	    {"the watcher was ended by SIGTERM", F(Mode::Check).found(2, 0, 0).signal(SIGTERM), 143},
	});
	// clang-format on
}

TEST(ExitStatus, FollowingAndScanningHaveTheirOwn)
{
	// clang-format off
	expect({
	    {"--pid: the process's own status is told, not passed on", F(Mode::Follow).program(exited(3)), 0},
	    {"--pid: it could not be followed", F(Mode::Follow).failed(), 125},
	    {"--pid: a signal ends the watcher alone, by that signal", F(Mode::Follow).signal(SIGINT), 130},
	    {"--scan: no zombie", F(Mode::Scan), 0},
	    {"--scan: zombies", F(Mode::Scan).zombies(2), 3},
	    {"--scan: /proc could not be read, or the output failed", F(Mode::Scan).failed(), 125},
	});
	// clang-format on
}

/* Each end names why, in the order the status is decided. */
TEST(EndReason, EveryEndSaysWhyWithItsStatus)
{
	// clang-format off
	expect_reasons({
	    {"the program ended", F(Mode::Run).program(exited(3)), EndReason::Done, 3},
	    {"the check gave its verdicts", F(Mode::Check).found(1, 1, 0), EndReason::Done, 3},
	    {"the followed tree is gone", F(Mode::Follow), EndReason::Done, 0},
	    {"a usage error", F(Mode::Run).usage(), EndReason::Usage, 2},
	    {"not found", F(Mode::Run).exec(ENOENT), EndReason::NotFound, 127},
	    {"not runnable", F(Mode::Check).exec(EACCES), EndReason::CannotRun, 126},
	    {"--pid of no process", F(Mode::Follow).gone(), EndReason::NoProcess, 125},
	    {"a system call failed", F(Mode::Run).program(exited(0)).failed(), EndReason::Failed, 125},
	    {"the output failed", F(Mode::Run).program(exited(0)).output(), EndReason::Output, 125},
	    {"a failure outweighs the output's", F(Mode::Run).failed().output(), EndReason::Failed, 125},
	    {"as PID 1 there is no reaper to check", F(Mode::Check).pid1(), EndReason::Pid1, 4},
	    {"a signal stopped the check", F(Mode::Check).found(0, 1, 0).signal(SIGTERM), EndReason::Signal, 143},
	    {"a signal ended the run", F(Mode::Run).program(killed(SIGTERM)).signal(SIGTERM), EndReason::Signal, 143},
	    {"a signal stopped the following", F(Mode::Follow).signal(SIGHUP), EndReason::Signal, 129},
	    {"with the output failed, the status is the failure's", F(Mode::Run).signal(SIGINT).output(), EndReason::Output, 125},
	});
	// clang-format on
}
