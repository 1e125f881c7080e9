// SPDX-License-Identifier: BSD-2-Clause
/*
 * The exit status, as zombie-watch(1) gives it under EXIT STATUS.  What
 * stopped the run comes first, then each mode's own answer.
 */

#include "core/status.h"

#include <errno.h>
#include <sys/wait.h>

namespace {

/* As a shell shows it: its exit status, or 128+N for signal N. */
ExitStatus
passed_on(int wait_status)
{
	return static_cast<ExitStatus>(WIFSIGNALED(wait_status)
					   ? 128 + WTERMSIG(wait_status)
					   : WEXITSTATUS(wait_status));
}

/*
 * Under --check-reaper the status is the check's, whatever the program's:
 * a CI job gates on it alone.
 */
ExitStatus
checked(const ExitFacts &f)
{
	if (f.check.not_collected > 0)
		return ExitStatus::Zombie;
	if (f.check.settled == 0 || f.check.unjudged > 0)
		return ExitStatus::Unchecked;
	/*
	 * Without fork records, or with some lost, an orphan may have come
	 * and gone unseen; the probe's orphans are told it through a pipe.
	 */
	if ((f.records_refused || f.records_lost) && !f.probe)
		return ExitStatus::Unchecked;
	return ExitStatus::Ok;
}

/* The status of a run that went to its end: each mode's own answer. */
ExitStatus
answer(const ExitFacts &f)
{
	switch (f.mode) {
	case Mode::Run:
		return f.program ? passed_on(*f.program) : ExitStatus::Ok;
	case Mode::Check:
		return checked(f);
	case Mode::Leaks:
		return leaks_answer(f);
	case Mode::Scan:
		/* None seen is not none there when some could not be seen. */
		return f.zombies > 0   ? ExitStatus::Zombie
		       : f.scan_hidden ? ExitStatus::Unchecked
				       : ExitStatus::Ok;
	case Mode::Help:
	case Mode::Follow:
	case Mode::Serve:
		break;
	}
	/* Following, the process's own status is told, not passed on. */
	return ExitStatus::Ok;
}

} // namespace

/*
 * Under --check-leaks too: a program that made no child has leaked none,
 * but one that may have made some unseen is not judged.
 */
ExitStatus
leaks_answer(const ExitFacts &f)
{
	if (f.check.not_collected > 0)
		return ExitStatus::Zombie;
	if (f.check.unjudged > 0 || f.records_refused || f.records_lost)
		return ExitStatus::Unchecked;
	return ExitStatus::Ok;
}

EndReason
end_reason(const ExitFacts &f)
{
	if (f.usage_error)
		return EndReason::Usage;
	if (f.exec_error)
		return *f.exec_error == ENOENT ? EndReason::NotFound
					       : EndReason::CannotRun;
	if (f.no_process)
		return EndReason::NoProcess;
	if (f.failed)
		return EndReason::Failed;
	/* A failed output outweighs a signal: the status says it failed. */
	if (f.output_failed)
		return EndReason::Output;
	if (f.mode == Mode::Check && f.pid1)
		return EndReason::Pid1;
	if (f.signal != 0)
		return EndReason::Signal;
	return EndReason::Done;
}

ExitStatus
exit_status(const ExitFacts &f)
{
	switch (end_reason(f)) {
	case EndReason::Usage:
		return ExitStatus::Usage;
	case EndReason::NotFound:
		return ExitStatus::NotFound;
	case EndReason::CannotRun:
		return ExitStatus::CannotRun;
	case EndReason::NoProcess:
	case EndReason::Failed:
	case EndReason::Output:
		return ExitStatus::Failed;
	case EndReason::Pid1:
		return ExitStatus::Unchecked;
	/* It re-raises the signal: a shell sees 128+N. */
	case EndReason::Signal:
		return static_cast<ExitStatus>(128 + f.signal);
	case EndReason::Done:
		break;
	}
	return answer(f);
}
