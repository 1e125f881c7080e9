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
#include "cmd/scan_mode.h"
#include "cmd/serve.h"
#include "cmd/system.h"
#include "core/status.h"
#include "core/tracker.h"
#include "sys/kernel.h"

namespace {

/* A failure before anything was started: told, and nothing to wait for. */
ExitFacts
failed(const Options &opt, const Failure &f)
{
	ExitFacts facts;

	(void)fprintf(stderr, "zombie-watch: %s\n", f.text.c_str());
	facts.mode = mode_of(opt);
	facts.failed = true;
	return facts;
}

/*
 * The one place the tracker is made, over the kernel, from what this run
 * is; it lives as long as the watch.
 */
ExitFacts
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

/* What ended the watch, whichever way it went. */
ExitFacts
zombie_watch(int argc, char *argv[], Options &opt, Watch &w)
{
	if (std::optional<ExitFacts> end = options(argc, argv, opt))
		return *end;
	if (opt.scan)
		return scan_mode(opt);
	if (opt.serve)
		return serve_mode(opt);
	if (opt.follow)
		if (std::optional<ExitFacts> end = zombie_mode(opt))
			return *end;
	if (opt.check && getpid() == 1)
		return refuse_pid1();
	if (std::optional<Failure> f = setup(w))
		return failed(opt, *f);
	return watch(w);
}

} // namespace

int
main(int argc, char *argv[])
{
	Options opt;
	Watch w(opt);

	ExitFacts f = zombie_watch(argc, argv, opt, w);
	return static_cast<int>(conclude(w, f));
}
