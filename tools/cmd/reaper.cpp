// SPDX-License-Identifier: BSD-2-Clause
/*
 * --check-reaper: the built-in probe, and what the check found.  The
 * verdicts themselves are decided from the log alone, elsewhere.
 */

#include "cmd/reaper.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "cmd/loop.h"
#include "core/tracker.h"
#include "report/words.h"

namespace {

/* How long the probe's running orphan lives on after its hand-over. */
constexpr useconds_t PROBE_RUNS = 200'000;

/* Blocks until the watcher closes its end of the pipe. */
void
hold_until_closed(const Fd &hold)
{
	char c;

	while (read(hold.get(), &c, 1) == -1 && errno == EINTR)
		;
}

/* Closes every descriptor above standard error but a and b. */
void
keep_only(int a, int b)
{
	int lo = std::min(a, b), hi = std::max(a, b);

	(void)close_range(3, (unsigned)lo - 1, 0);
	(void)close_range((unsigned)lo + 1, (unsigned)hi - 1, 0);
	(void)close_range((unsigned)hi + 1, ~0U, 0);
}

} // namespace

/*
 * The probe, in place of a program: two orphans a reaper must collect, one
 * a zombie when it is handed over and one still running then, as after a
 * double fork.  Both are handed over as the probe ends.  It tells the
 * watcher their numbers and holds them until the watcher follows them, so
 * that it needs neither fork records nor a shell.  The probe collects
 * nothing itself: every collection is the reaper's.
 */
[[noreturn]] void
probe_run(const Inherited &in, Fd report, Fd hold)
{
	struct sigaction dfl = {};

	dfl.sa_handler = SIG_DFL;
	(void)sigaction(SIGCHLD, &dfl, nullptr);
	(void)sigprocmask(SIG_SETMASK, &in.mask, nullptr);
	(void)prctl(PR_SET_NAME, PROBE_NAME);
	/* Of the watcher's descriptors, it needs these two alone. */
	keep_only(report.get(), hold.get());
	pid_t zombie = fork();
	if (zombie == 0)
		_exit(0);
	if (zombie == -1)
		_exit(125);
	pid_t running = fork();
	if (running == 0) {
		report.reset();
		hold_until_closed(hold);
		(void)usleep(PROBE_RUNS);
		_exit(0);
	}
	if (running == -1)
		_exit(125);
	/* A zombie before the watcher hears of it: it reads its end first. */
	siginfo_t si;
	(void)waitid(P_PID, (id_t)zombie, &si, WEXITED | WNOWAIT);
	pid_t pids[] = {zombie, running};
	(void)!write(report.get(), pids, sizeof(pids));
	hold_until_closed(hold);
	_exit(0);
}

Result<std::vector<pid_t>>
probe_pids(const Fd &report)
{
	std::vector<pid_t> pids(2);
	size_t got = 0, want = pids.size() * sizeof(pid_t);
	ssize_t n;

	while (got < want && ((n = read(report.get(), (char *)pids.data() + got,
				   want - got)) > 0 ||
				 (n == -1 && errno == EINTR)))
		got += n > 0 ? (size_t)n : 0;
	if (got < want)
		return failure("reaper probe", EPIPE);
	return pids;
}

void
probe_release(Watch &w, Tracker &tr)
{
	if (w.hold && (tr.now() >= w.hold_until ||
			  std::all_of(w.probe.begin(), w.probe.end(),
			      [&](pid_t pid) { return tr.follows(pid); })))
		w.hold.reset();
}

ExitFacts
refuse_pid1()
{
	ExitFacts f;

	(void)fprintf(stderr,
	    "zombie-watch: --check-reaper: zombie-watch is PID 1 here, so no "
	    "other process\n"
	    "can adopt an orphan and there is no reaper to check.  Run it "
	    "inside the\n"
	    "container under the container's own init, for example with\n"
	    "  docker exec CONTAINER /zombie-watch --check-reaper\n");
	f.mode = Mode::Check;
	f.pid1 = true;
	return f;
}

/*
 * Under either check the status is the check's, whatever the program's:
 * a CI job gates on it alone.  The program's own is told apart.
 */
CheckFound
check_found(const Watch &w, const Tracker &tr, CheckFound found)
{
	std::optional<int> ps = tr.program_status();

	if (ps && *ps != 0)
		(void)fprintf(stderr, "zombie-watch: %s %s\n",
		    visible(w.opt.argv[0]).c_str(),
		    describe_status(*ps).c_str());
	return found;
}
