// SPDX-License-Identifier: BSD-2-Clause
/*
 * Before the loop: the watcher's own setup, keeping what the program must
 * inherit; the program forked and held on a pipe until the watcher holds
 * it; and, should the watcher fail after it runs, its end waited for.
 */

#include "cmd/launch.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "cmd/loop.h"
#include "cmd/reaper.h"
#include "core/tracker.h"
#include "report/words.h"
#include "sys/kernel.h"

namespace {

/* Four descriptors a process followed: take all the system allows. */
std::optional<Failure>
files_setup(Inherited &in)
{
	if (getrlimit(RLIMIT_NOFILE, &in.files) == -1)
		return failure("getrlimit");
	struct rlimit all = in.files;
	all.rlim_cur = all.rlim_max;
	(void)setrlimit(RLIMIT_NOFILE, &all);
	return std::nullopt;
}

/*
 * Takes every signal the loop handles through a signalfd.  SIGPIPE is
 * blocked too, so that a closed output is a failed write, not a death.
 * SIGCONT resumes the watcher all the same, blocked or not: taken, it says
 * that the watcher was stopped, so that what it sees next may be late.
 */
Result<SignalFd>
signals_setup(Inherited &in)
{
	sigset_t mask;
	struct sigaction dfl = {};

	(void)sigemptyset(&mask);
	(void)sigaddset(&mask, SIGCHLD);
	(void)sigaddset(&mask, SIGCONT);
	(void)sigaddset(&mask, SIGPIPE);
	/* Ignored when we were started, as under nohup: ignored they stay. */
	for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
		struct sigaction was;
		if (sigaction(sig, nullptr, &was) == 0 &&
		    was.sa_handler != SIG_IGN)
			(void)sigaddset(&mask, sig);
	}
	if (sigprocmask(SIG_BLOCK, &mask, &in.mask) == -1)
		return failure("sigprocmask");
	/* An ignored SIGCHLD would have the kernel release our children. */
	dfl.sa_handler = SIG_DFL;
	if (sigaction(SIGCHLD, &dfl, &in.sigchld) == -1)
		return failure("sigaction");
	(void)sigdelset(&mask, SIGPIPE);
	std::optional<SignalFd> fd = SignalFd::open(mask);
	if (!fd)
		return failure("signalfd");
	return std::move(*fd);
}

/* Colour only on a terminal, and never where the user said no. */
bool
wants_colour(int fd)
{
	const char *no = getenv("NO_COLOR"), *term = getenv("TERM");

	return isatty(fd) && (no == nullptr || *no == '\0') &&
	       term != nullptr && *term != '\0' && strcmp(term, "dumb") != 0;
}

/*
 * Its own children are looked at with waitid before they are collected.
 * Where a seccomp profile refuses it, their ends could never be taken:
 * better to say so before anything runs than to wait for ever.
 */
std::optional<Failure>
waitid_check()
{
	siginfo_t si;

	if (waitid(P_ALL, 0, &si, WEXITED | WNOHANG | WNOWAIT) == -1 &&
	    errno != ECHILD)
		return failure("waitid");
	return std::nullopt;
}

/* The loop's own descriptors, and the watcher's place above the program. */
std::optional<Failure>
events_setup(Watch &w)
{
	if (std::optional<Failure> f = files_setup(w.in))
		return f;
	Result<SignalFd> signals = signals_setup(w.in);
	if (!signals)
		return signals.failure();
	w.signals = std::move(*signals);
	std::optional<Epoll> epoll = Epoll::open();
	if (!epoll)
		return failure("epoll_create1");
	w.epoll = std::move(*epoll);
	if (!w.epoll.add(w.signals.fd(), TOKEN_SIGNALS))
		return failure("epoll_ctl");
	/*
	 * Checking the system's reaper, orphans must be free to reach it;
	 * following a tree it did not start, they are not the watcher's.
	 */
	if (!w.opt.check && !w.opt.follow &&
	    prctl(PR_SET_CHILD_SUBREAPER, 1) == -1)
		return failure("prctl");
	if (!w.opt.follow)
		return waitid_check();
	return std::nullopt;
}

/* Runs only once told to: if the watcher fails first, it never runs. */
bool
wait_go(const Fd &go)
{
	char c;
	ssize_t n;

	while ((n = read(go.get(), &c, 1)) == -1 && errno == EINTR)
		;
	return n == 1;
}

/* The program, with what the watcher inherited given back to it. */
[[noreturn]] void
program_exec(const Options &o, const Inherited &in, const Fd &report)
{
	(void)sigaction(SIGCHLD, &in.sigchld, nullptr);
	(void)sigprocmask(SIG_SETMASK, &in.mask, nullptr);
	(void)setrlimit(RLIMIT_NOFILE, &in.files);
	(void)execvp(o.argv[0], o.argv.data());
	int err = errno;
	(void)!write(report.get(), &err, sizeof(err));
	_exit(127);
}

/*
 * A program that could not be run, collected: its failure, which ends
 * the watch as a shell would (127 not found, 126 not runnable).
 */
std::optional<Failure>
exec_check(pid_t pid, const Fd &report, const char *name)
{
	int err;
	ssize_t n;

	/* The pipe closes unread on a successful exec. */
	while (
	    (n = read(report.get(), &err, sizeof(err))) == -1 && errno == EINTR)
		;
	if (n != (ssize_t)sizeof(err))
		return std::nullopt;
	(void)waitpid(pid, nullptr, 0);
	return Failure{
	    "cannot run " + visible(name) + ": " + strerror(err), err};
}

/* The pipes between the watcher and the program it starts. */
struct Pipes {
	Fd go_r, go_w;   /* the program runs once told to */
	Fd rep_r, rep_w; /* why its exec failed; the probe's orphans */
	Fd hold_r;       /* the probe holds its orphans while it is open */
};

/* In the child: it waits to be let go, then runs. */
[[noreturn]] void
child(Watch &w, Pipes p)
{
	p.go_w.reset();
	w.hold.reset();
	if (!wait_go(p.go_r))
		_exit(125);
	if (w.opt.probe)
		probe_run(w.in, std::move(p.rep_w), std::move(p.hold_r));
	program_exec(w.opt, w.in, p.rep_w);
}

/*
 * Holds the program, then lets it go.  Until it is let go, a failure
 * closes the go pipe unwritten, so that it ends without running, and
 * collects it.
 */
std::optional<Failure>
let_go(Watch &w, Tracker &tr, pid_t pid, Nanos t, Fd go)
{
	std::optional<Failure> f = records_open(w, pid);

	if (!f && !tr.start(pid, t, w.opt.argv[0]))
		f = failure("pidfd_open");
	if (!f && ::write(go.get(), "g", 1) != 1)
		f = failure("pipe");
	if (!f) {
		w.launched = pid;
		return std::nullopt;
	}
	go.reset();
	(void)waitpid(pid, nullptr, 0);
	return f;
}

/* Once it runs: whether its exec failed, or the probe's orphans. */
std::optional<Failure>
after_go(Watch &w, Tracker &tr, pid_t pid, const Fd &report)
{
	if (!w.opt.probe)
		return exec_check(pid, report, w.opt.argv[0]);
	Result<std::vector<pid_t>> pids = probe_pids(report);
	if (!pids)
		return pids.failure();
	w.probe = std::move(*pids);
	w.hold_until = tr.now() + PROBE_HOLD;
	return std::nullopt;
}

/*
 * After a failure, the program runs on untold: the watcher stays its
 * parent until it ends, collecting whatever ends meanwhile, as the reaper
 * it promised to be, and passing on the signals it would have passed on.
 * Checking the reaper, it promised none: the first such signal ends it.
 */
void
outlast(pid_t program, const SignalFd &signals, bool check)
{
	for (;;) {
		pid_t pid;
		while ((pid = waitpid(-1, nullptr, WNOHANG)) > 0)
			if (pid == program)
				return;
		if (pid == -1 && errno != EINTR)
			return;
		siginfo_t si;
		int sig = sigwaitinfo(&signals.signals(), &si);
		if (sig <= 0 || sig == SIGCHLD || sig == SIGCONT)
			continue;
		if (!from_terminal(si.si_code, program))
			(void)kill(program, sig);
		/* Checking the reaper, it is no one's reaper: it may go. */
		if (check)
			return;
	}
}

} // namespace

Style
text_style(int fd)
{
	Style style;
	std::optional<int> columns = line_columns(fd);

	style.width = columns.value_or(78);
	style.fit = columns.has_value();
	style.colour = wants_colour(fd);
	return style;
}

Result<std::string>
run_id()
{
	std::uint64_t r = 0;
	char hex[17];

	if (getrandom(&r, sizeof(r), 0) != (ssize_t)sizeof(r))
		return failure("getrandom");
	(void)snprintf(hex, sizeof(hex), "%016llx", (unsigned long long)r);
	return std::string(hex);
}

std::optional<Failure>
standard_files()
{
	for (int fd = 0; fd <= 2; fd++)
		if (fcntl(fd, F_GETFD) == -1 && errno == EBADF &&
		    open("/dev/null", O_RDWR) != fd)
			return failure("/dev/null");
	return std::nullopt;
}

std::optional<Failure>
proc_check()
{
	std::optional<pid_t> self = self_read();

	if (!self)
		return failure("/proc/self");
	if (*self == getpid())
		return std::nullopt;
	return Failure{"/proc belongs to another PID namespace (it does not "
		       "show this\nprocess as " +
			   std::to_string((long)getpid()) +
			   "); enter the mount namespace too (nsenter -p -m), "
			   "or give the\nnew PID namespace its own /proc "
			   "(unshare --pid --fork --mount-proc)",
	    std::nullopt};
}

std::optional<Failure>
setup(Watch &w)
{
	if (std::optional<Failure> f = standard_files())
		return f;
	if (std::optional<Failure> f = proc_check())
		return f;
	/* errno taken first: escaping the name allocates. */
	if (w.opt.output && !w.out.open(w.opt.output->c_str())) {
		int err = errno;
		return failure(visible(*w.opt.output), err);
	}
	Result<std::string> run = run_id();
	if (!run)
		return run.failure();
	w.run = *run;
	w.style = text_style(w.out.fd());
	w.style.reaper_wait = w.opt.reaper_wait;
	w.t0 = monotonic_now();
	return events_setup(w);
}

std::optional<Failure>
start(Watch &w, Tracker &tr)
{
	std::optional<Pipe> go = Pipe::open(), report = Pipe::open(),
			    hold = Pipe::open();
	if (!go || !report || !hold)
		return failure("pipe");
	Pipes p{std::move(go->read_end), std::move(go->write_end),
	    std::move(report->read_end), std::move(report->write_end),
	    std::move(hold->read_end)};
	w.hold = std::move(hold->write_end);
	pid_t pid = fork();
	if (pid == -1)
		return failure("fork");
	if (pid == 0)
		child(w, std::move(p));
	p.hold_r.reset();
	if (!w.opt.probe)
		w.hold.reset();
	Nanos t = tr.now();
	p.go_r.reset();
	p.rep_w.reset();
	if (std::optional<Failure> f = let_go(w, tr, pid, t, std::move(p.go_w)))
		return f;
	if (std::optional<Failure> f = after_go(w, tr, pid, p.rep_r))
		return f;
	tr.started();
	return std::nullopt;
}

ExitFacts
give_up(Watch &w, const Tracker &tr, const Failure &f)
{
	ExitFacts facts;

	(void)fprintf(stderr, "zombie-watch: %s\n", f.text.c_str());
	facts.mode = mode_of(w.opt);
	facts.exec_error = f.exec_error;
	facts.no_process = f.no_process;
	facts.failed = !f.exec_error && !f.no_process;
	facts.program = tr.program_status();
	if (f.exec_error)
		return facts;
	/* The probe's orphans go to the reaper, and the probe ends. */
	w.hold.reset();
	if (w.launched && !tr.program_status()) {
		(void)fprintf(stderr,
		    "zombie-watch: no longer watching; waiting for %s (%d) to "
		    "end\n",
		    visible(w.opt.argv[0]).c_str(), (int)*w.launched);
		outlast(*w.launched, w.signals, w.opt.check);
	}
	return facts;
}
