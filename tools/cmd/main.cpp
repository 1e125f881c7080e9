// SPDX-License-Identifier: BSD-2-Clause
/*
 * zombie-watch: run a program (zombie by default) and tell the life of it
 * and of every process it creates, from the kernel's own records, until all
 * of them have been collected.  The watcher is a child subreaper, so
 * orphans come to it, even where PID 1 never collects them; or, checking
 * the system's reaper, it lets them go and follows them.
 *
 * Here the parts are put together: the options, the setup, the tracker
 * over the kernel, the start or the following, the loop and the end.
 */

#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <optional>

#include "cmd/failure.h"
#include "cmd/follow.h"
#include "cmd/launch.h"
#include "cmd/loop.h"
#include "cmd/options.h"
#include "cmd/output.h"
#include "cmd/reaper.h"
#include "cmd/system.h"
#include "core/tracker.h"
#include "report/scan.h"
#include "sys/kernel.h"

namespace {

/* A failure before anything was started: told, and nothing to wait for. */
int
failed(const Failure &f)
{
	(void)fprintf(stderr, "zombie-watch: %s\n", f.text.c_str());
	return 125;
}

int
scan(const Options &opt)
{
	/* A closed output is a failure to report, as for a watch. */
	if (std::optional<Failure> f = standard_files())
		return failed(*f);
	if (std::optional<Failure> f = proc_check())
		return failed(*f);
	(void)signal(SIGPIPE, SIG_IGN);
	return scan_main(opt.json, opt.output);
}

/*
 * The one place the tracker is made, over the kernel, from what this run
 * is; it lives as long as the watch.
 */
int
watch(Watch &w)
{
	KernelSystem sys(w.t0, w.epoll);
	TrackerSetup ts;
	ts.self = getpid();
	ts.check = w.opt.check;
	ts.follow = w.opt.follow.has_value();
	ts.hup_works = pidfd_hangs_up();
	ts.reaper_wait = w.opt.reaper_wait;
	Tracker tr(sys, w.log, w.pending, ts);
	/*
	 * Entered from outside its PID namespace (nsenter), the watcher has
	 * no parent there: orphans then go to the namespace's init.
	 */
	if (w.opt.check)
		tr.pin_ancestors(getppid() > 0 ? getppid() : 1);
	std::optional<Failure> f =
	    w.opt.follow ? follow_start(w, tr) : start(w, tr);
	if (!f)
		f = loop(w, tr);
	return f ? give_up(w, tr, *f) : finish(w, tr);
}

} // namespace

int
main(int argc, char *argv[])
{
	Options opt;

	if (std::optional<int> end = options(argc, argv, opt))
		return *end;
	if (opt.scan)
		return scan(opt);
	if (opt.check && getpid() == 1)
		return refuse_pid1();
	Watch w(opt);
	if (std::optional<Failure> f = setup(w))
		return failed(*f);
	return watch(w);
}
