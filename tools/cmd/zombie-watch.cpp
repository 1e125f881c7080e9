// SPDX-License-Identifier: BSD-2-Clause
/*
 * zombie-watch: run a program (zombie by default) and tell the life of it
 * and of every process it creates, from the kernel's own records, until all
 * of them have been collected.  The watcher is a child subreaper, so
 * orphans come to it, even where PID 1 never collects them; or, checking
 * the system's reaper, it lets them go and follows them.
 */

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "cmd/scan_mode.h"
#include "cmd/system.h"
#include "core/log.h"
#include "core/tracker.h"
#include "core/verdict.h"
#include "report/jsonl.h"
#include "report/narrate.h"
#include "report/timeline.h"
#include "report/verdicts.h"
#include "report/words.h"
#include "sys/kernel.h"

namespace {

/* Long enough for a record written a moment ago to be read before it. */
constexpr Nanos SETTLE = 100'000'000;
/* How often children are looked for where fork records are refused. */
constexpr Nanos LOOK_PERIOD = 40'000'000;
/* How often the state of every process is told. */
constexpr Nanos STATES_PERIOD = 5'000'000'000;
/* Closer than this, two alike signals from one sender are one. */
constexpr Nanos SAME_SIGNAL = 50'000'000;
/* How long a burst lets the next turn gather, and what is a burst. */
constexpr Nanos BATCH = 10'000'000;
constexpr size_t BURST = 16;

/* The probe's name, as ps and the narration show it. */
constexpr const char *PROBE_NAME = "reaper-probe";
/* Longer than this unfollowed, the probe's orphans go anyway. */
constexpr Nanos PROBE_HOLD = 2'000'000'000;
/* How long the probe's running orphan lives on after its hand-over. */
constexpr useconds_t PROBE_RUNS = 200'000;

/* epoll data beyond every ProcId: the descriptors of the loop itself. */
enum : std::uint64_t {
	TOKEN_SIGNALS = 1ULL << 40,
	TOKEN_STATES,
	TOKEN_SAMPLES,
	TOKEN_RECORDS,
};

/* What the watcher inherited, handed on to the program untouched. */
struct Inherited {
	sigset_t mask;
	struct sigaction sigchld;
	struct rlimit files;
};

struct Options {
	bool check = false;
	bool json = false;  /* the log as JSON Lines, not prose */
	bool quiet = false; /* the summary and verdicts alone */
	bool scan = false;  /* the zombies there are now, and why */
	std::optional<std::string> output;
	std::optional<pid_t> follow; /* a process already running */
	bool probe = false;          /* the reaper check's own orphans */
	Nanos reaper_wait = 10'000'000'000;
	std::vector<char *> argv; /* the program's, null-terminated */
	std::string dflt;         /* the zombie beside us */
};

[[noreturn]] void
fail(const char *what)
{
	(void)fprintf(stderr, "zombie-watch: %s: %s\n", what, strerror(errno));
	exit(125);
}

void
usage(FILE *to)
{
	(void)fputs(
	    "usage: zombie-watch [-q] [--json] [-o FILE] [--check-reaper "
	    "[--reaper-wait=SECONDS]]\n"
	    "                    [--] [PROGRAM [ARG...]]\n"
	    "       zombie-watch [-q] [--json] [-o FILE] --pid=PID\n"
	    "       zombie-watch [--json] [-o FILE] --scan\n"
	    "Run PROGRAM (by default the zombie beside zombie-watch) and tell "
	    "the "
	    "life of it\nand of every process it creates, until all have been "
	    "collected.\n\n"
	    "  --check-reaper         check this system's reaper: do not adopt "
	    "orphans, follow\n"
	    "                         each to the process that adopts it, and "
	    "tell whether and\n"
	    "                         how soon it collects it; with no "
	    "PROGRAM, "
	    "run a probe of\n"
	    "                         its own (two orphans, under a second "
	    "plus "
	    "the reaper's\n"
	    "                         delay); refused as PID 1, which has no "
	    "reaper above it\n"
	    "  --reaper-wait=SECONDS  how long to wait for each orphan "
	    "(default "
	    "10)\n"
	    "  --pid=PID              follow a running process and its "
	    "descendants; observe only\n"
	    "  --scan                 list the zombies in this PID namespace "
	    "now, "
	    "and why they stay\n"
	    "  --json                 write the events as JSON Lines (schema "
	    "in "
	    "zombie-watch(1))\n"
	    "  -o, --output=FILE      write the watcher's own output to FILE, "
	    "apart from PROGRAM's\n"
	    "  -q, --quiet            write only the summary and the verdicts\n"
	    "  -h, --help             show this help; --version, the "
	    "version\n\n"
	    "Exit status: the program's own; 128+N if signal N killed it; "
	    "126 PROGRAM cannot\nrun; 127 PROGRAM not found; 2 usage error; "
	    "125 zombie-watch failed (also when\nits output failed).\n"
	    "With --check-reaper the status is the check's: 0 every orphan was "
	    "collected or\nreleased; 3 one was not; 4 nothing was checked, "
	    "or one could not be followed;\n2 usage error; 125 failure; 126, "
	    "127 as above.\n"
	    "With --scan: 0 no zombie; 3 there is one.  With --pid: 0, or 125 "
	    "if it cannot\nfollow PID; the process's own status is told.\n",
	    to);
}

[[noreturn]] void
usage_error(const char *what, const char *arg)
{
	(void)fprintf(stderr, "zombie-watch: %s %s\n", what, arg);
	usage(stderr);
	exit(2);
}

/* Decimal seconds, as 10 or 0.5, and nothing else: no sign, hex or space. */
std::optional<Nanos>
seconds(std::string_view s)
{
	size_t dot = s.find('.');
	std::string_view whole = s.substr(0, dot);
	std::string_view frac =
	    dot == std::string_view::npos ? "" : s.substr(dot + 1);
	auto digits = [](std::string_view d) {
		return d.find_first_not_of("0123456789") ==
		       std::string_view::npos;
	};

	if (whole.empty() || whole.size() > 7 || !digits(whole) ||
	    !digits(frac) || (dot != std::string_view::npos && frac.empty()))
		return std::nullopt;
	Nanos ns =
	    strtoll(std::string(whole).c_str(), nullptr, 10) * 1'000'000'000;
	Nanos unit = 100'000'000;
	for (size_t i = 0; i < frac.size() && unit > 0; i++, unit /= 10)
		ns += (frac[i] - '0') * unit;
	return ns;
}

std::string
beside_us(std::string_view name)
{
	char self[PATH_MAX];
	ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
	std::string path(self, n > 0 ? (size_t)n : 0);

	path.erase(
	    path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
	return path + std::string(name);
}

/* A process number as given on the command line, and nothing else. */
std::optional<pid_t>
pid_arg(std::string_view s)
{
	if (s.empty() || s.size() > 9 ||
	    s.find_first_not_of("0123456789") != std::string_view::npos)
		return std::nullopt;
	pid_t pid = (pid_t)strtol(std::string(s).c_str(), nullptr, 10);
	return pid > 0 ? std::optional<pid_t>(pid) : std::nullopt;
}

[[noreturn]] void
unknown_option(const char *word)
{
	/* Within "-qx", getopt names the letter; the word would mislead. */
	char letter[3] = {'-', (char)optopt, '\0'};
	bool long_form = strncmp(word, "--", 2) == 0;

	if (long_form && strchr(word, '=') != nullptr)
		usage_error(
		    "unknown option, or one that takes no value:", word);
	usage_error("unknown option",
	    !long_form && optopt > 0 && optopt < 128 ? letter : word);
}

enum Long : int {
	OPT_CHECK = 256,
	OPT_WAIT,
	OPT_JSON,
	OPT_PID,
	OPT_SCAN,
	OPT_VERSION,
};

/* The modes that run no program of their own take none. */
void
options_check(const Options &o, bool waits, bool program)
{
	if (waits && !o.check)
		usage_error("--reaper-wait needs", "--check-reaper");
	if (o.follow && o.scan)
		usage_error("--pid does not go with", "--scan");
	if ((o.follow || o.scan) && o.check)
		usage_error(o.scan ? "--scan" : "--pid", "does not go with "
							 "--check-reaper");
	if ((o.follow || o.scan) && program)
		usage_error(o.scan ? "--scan" : "--pid", "runs no PROGRAM");
}

/* One option getopt_long found; waits, whether --reaper-wait was given. */
void
option(int c, char *argv[], Options &o, bool &waits)
{
	std::optional<Nanos> w;

	switch (c) {
	case 'h':
		usage(stdout);
		exit(0);
	case OPT_VERSION:
		(void)printf("zombie-watch %s\n", ZOMBIE_VERSION);
		exit(0);
	case OPT_CHECK:
		o.check = true;
		break;
	case OPT_WAIT:
		if (!(w = seconds(optarg)))
			usage_error("not a number of seconds:", optarg);
		o.reaper_wait = *w;
		waits = true;
		break;
	case OPT_JSON:
		o.json = true;
		break;
	case 'o':
		o.output = optarg;
		break;
	case 'q':
		o.quiet = true;
		break;
	case OPT_PID:
		if (!(o.follow = pid_arg(optarg)))
			usage_error("not a process number:", optarg);
		break;
	case OPT_SCAN:
		o.scan = true;
		break;
	case ':':
		usage_error("option needs a value:", argv[optind - 1]);
	default:
		unknown_option(argv[optind - 1]);
	}
}

/*
 * Fills o in place: the program's argv points into it.  Options end at the
 * first word that is not one, so that the program's own are left to it.
 */
void
options(int argc, char *argv[], Options &o)
{
	static const struct option longs[] = {
	    {"check-reaper", no_argument, nullptr, OPT_CHECK},
	    {"reaper-wait", required_argument, nullptr, OPT_WAIT},
	    {"json", no_argument, nullptr, OPT_JSON},
	    {"output", required_argument, nullptr, 'o'},
	    {"quiet", no_argument, nullptr, 'q'},
	    {"pid", required_argument, nullptr, OPT_PID},
	    {"scan", no_argument, nullptr, OPT_SCAN},
	    {"help", no_argument, nullptr, 'h'},
	    {"version", no_argument, nullptr, OPT_VERSION},
	    {nullptr, 0, nullptr, 0},
	};
	bool waits = false;
	int c;

	opterr = 0;
	while ((c = getopt_long(argc, argv, "+:ho:q", longs, nullptr)) != -1)
		option(c, argv, o, waits);
	options_check(o, waits, optind < argc);
	o.probe = o.check && optind == argc;
	if (optind < argc)
		o.argv.assign(argv + optind, argv + argc);
	else if (o.probe)
		o.argv.push_back(const_cast<char *>(PROBE_NAME));
	else {
		o.dflt = beside_us("zombie");
		o.argv.push_back(&o.dflt[0]);
	}
	o.argv.push_back(nullptr);
}

/* Started with 0, 1 or 2 closed, the watcher's own files would take them. */
void
standard_files()
{
	for (int fd = 0; fd <= 2; fd++)
		if (fcntl(fd, F_GETFD) == -1 && errno == EBADF &&
		    open("/dev/null", O_RDWR) != fd)
			fail("/dev/null");
}

/* Four descriptors a process followed: take all the system allows. */
void
files_setup(Inherited &in)
{
	if (getrlimit(RLIMIT_NOFILE, &in.files) == -1)
		fail("getrlimit");
	struct rlimit all = in.files;
	all.rlim_cur = all.rlim_max;
	(void)setrlimit(RLIMIT_NOFILE, &all);
}

/*
 * Takes every signal the loop handles through a signalfd.  SIGPIPE is
 * blocked too, so that a closed output is a failed write, not a death.
 */
Fd
signals_setup(Inherited &in)
{
	sigset_t mask;
	struct sigaction dfl = {};

	(void)sigemptyset(&mask);
	(void)sigaddset(&mask, SIGCHLD);
	(void)sigaddset(&mask, SIGPIPE);
	/* Ignored when we were started, as under nohup: ignored they stay. */
	for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
		struct sigaction was;
		if (sigaction(sig, nullptr, &was) == 0 &&
		    was.sa_handler != SIG_IGN)
			(void)sigaddset(&mask, sig);
	}
	if (sigprocmask(SIG_BLOCK, &mask, &in.mask) == -1)
		fail("sigprocmask");
	/* An ignored SIGCHLD would have the kernel release our children. */
	dfl.sa_handler = SIG_DFL;
	if (sigaction(SIGCHLD, &dfl, &in.sigchld) == -1)
		fail("sigaction");
	(void)sigdelset(&mask, SIGPIPE);
	Fd fd(signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK));
	if (!fd)
		fail("signalfd");
	return fd;
}

/* Runs only once told to: if the watcher fails first, it never runs. */
bool
wait_go(int go)
{
	char c;
	ssize_t n;

	while ((n = read(go, &c, 1)) == -1 && errno == EINTR)
		;
	return n == 1;
}

/* The program, with what the watcher inherited given back to it. */
[[noreturn]] void
program_exec(const Options &o, const Inherited &in, int report)
{
	(void)sigaction(SIGCHLD, &in.sigchld, nullptr);
	(void)sigprocmask(SIG_SETMASK, &in.mask, nullptr);
	(void)setrlimit(RLIMIT_NOFILE, &in.files);
	(void)execvp(o.argv[0], o.argv.data());
	int err = errno;
	(void)!write(report, &err, sizeof(err));
	_exit(127);
}

/* Exits as a shell would (127 not found, 126 not runnable) on failure. */
void
exec_check(pid_t pid, const Fd &report, const char *name)
{
	int err;
	ssize_t n;

	/* The pipe closes unread on a successful exec. */
	while (
	    (n = read(report.get(), &err, sizeof(err))) == -1 && errno == EINTR)
		;
	if (n != (ssize_t)sizeof(err))
		return;
	(void)waitpid(pid, nullptr, 0);
	(void)fprintf(
	    stderr, "zombie-watch: cannot run %s: %s\n", name, strerror(err));
	exit(err == ENOENT ? 127 : 126);
}

/*
 * The watcher's own output, standard output or --output's file, written a
 * paragraph at a time until it fails.
 */
class Output {
      public:
	bool open(const char *path)
	{
		file_ = Fd(::open(path,
		    O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666));
		name_ = path;
		return (bool)file_;
	}
	int fd() const
	{
		return file_ ? file_.get() : STDOUT_FILENO;
	}
	const char *name() const
	{
		return file_ ? name_.c_str() : "standard output";
	}
	void write(std::string_view s)
	{
		while (error_ == 0 && !s.empty()) {
			ssize_t n = ::write(fd(), s.data(), s.size());
			if (n > 0)
				s.remove_prefix((size_t)n);
			else if (n == -1 && errno != EINTR)
				error_ = errno;
		}
	}
	int error() const
	{
		return error_;
	}

      private:
	Fd file_;
	std::string name_;
	int error_ = 0;
};

struct Watch {
	Options opt;
	Inherited in;
	Nanos t0 = 0;
	Fd epoll, signals, states, samples;
	Nanos period = 0; /* between looks for the timeline */
	Log log;
	Pending pending;
	ForkRecords records;
	Output out;
	Style style;
	int signo = 0, signals_got = 0;
	Nanos last_sweep = 0;
	struct Received {
		std::uint32_t signo, from;
		Nanos at;
	};
	std::optional<Received> last_signal;
	std::vector<Record> recs;
	std::string run; /* this run's id, in every JSON line */
	/* The probe's processes, held until followed. */
	std::vector<pid_t> probe;
	Fd hold;
	Nanos hold_until = 0; /* let go anyway: they cannot be followed */
	bool records_refused = false;
	bool rings_polled = false; /* read at each look, not woken by */
	bool stop = false;        /* following, a signal ends the watch alone */
	std::set<pid_t> attached; /* the tasks the records follow */
};

void
watch_fd(const Watch &w, int fd, std::uint64_t token)
{
	struct epoll_event ev = {};

	ev.events = EPOLLIN;
	ev.data.u64 = token;
	if (epoll_ctl(w.epoll.get(), EPOLL_CTL_ADD, fd, &ev) == -1)
		fail("epoll_ctl");
}

struct itimerspec
every(Nanos period)
{
	struct timespec ts = {
	    (time_t)(period / 1'000'000'000), (long)(period % 1'000'000'000)};

	return {ts, ts};
}

Fd
ticker(const Watch &w, Nanos period, std::uint64_t token)
{
	struct itimerspec when = every(period);
	Fd fd(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));

	if (!fd || timerfd_settime(fd.get(), 0, &when, nullptr) == -1)
		fail("timerfd");
	watch_fd(w, fd.get(), token);
	return fd;
}

/* Blocks until the watcher closes its end of the pipe. */
void
hold_until_closed(int hold)
{
	char c;

	while (read(hold, &c, 1) == -1 && errno == EINTR)
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

/*
 * The probe, in place of a program: two orphans a reaper must collect, one
 * a zombie when it is handed over and one still running then, as after a
 * double fork.  Both are handed over as the probe ends.  It tells the
 * watcher their numbers and holds them until the watcher follows them, so
 * that it needs neither fork records nor a shell.  The probe collects
 * nothing itself: every collection is the reaper's.
 */
[[noreturn]] void
probe_run(const Inherited &in, int report, int hold)
{
	struct sigaction dfl = {};

	dfl.sa_handler = SIG_DFL;
	(void)sigaction(SIGCHLD, &dfl, nullptr);
	(void)sigprocmask(SIG_SETMASK, &in.mask, nullptr);
	(void)prctl(PR_SET_NAME, PROBE_NAME);
	/* Of the watcher's descriptors, it needs these two alone. */
	keep_only(report, hold);
	pid_t zombie = fork();
	if (zombie == 0)
		_exit(0);
	if (zombie == -1)
		_exit(125);
	pid_t running = fork();
	if (running == 0) {
		(void)close(report);
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
	(void)!write(report, pids, sizeof(pids));
	hold_until_closed(hold);
	_exit(0);
}

/* The probe's two orphans, as it reported them. */
std::vector<pid_t>
probe_pids(const Fd &report)
{
	std::vector<pid_t> pids(2);
	size_t got = 0, want = pids.size() * sizeof(pid_t);
	ssize_t n;

	while (got < want && ((n = read(report.get(), (char *)pids.data() + got,
				   want - got)) > 0 ||
				 (n == -1 && errno == EINTR)))
		got += n > 0 ? (size_t)n : 0;
	if (got < want) {
		errno = EPIPE;
		fail("reaper probe");
	}
	return pids;
}

/* Lets the probe's orphans go once each is followed. */
void
probe_release(Watch &w, Tracker &tr)
{
	if (w.hold && (tr.now() >= w.hold_until ||
			  std::all_of(w.probe.begin(), w.probe.end(),
			      [&](pid_t pid) { return tr.follows(pid); })))
		w.hold.reset();
}

/*
 * Fork records follow every process of the tree.  Where a container's
 * seccomp profile refuses them, children are looked for instead, and
 * what lives less than a look is missed: say so once.
 */
void
records_refused(Watch &w)
{
	w.records_refused = true;
	(void)fprintf(stderr,
	    "zombie-watch: fork records refused (perf_event_open: %s);\n"
	    "looking for children instead, which misses any that live less "
	    "than 40 ms\n",
	    strerror(errno));
	if (w.opt.check && !w.opt.probe)
		(void)fputs("zombie-watch: so an orphan may be missed, and the "
			    "check cannot pass (status 4);\nthe built-in probe "
			    "(--check-reaper with no program) needs no "
			    "records\n",
		    stderr);
}

void
records_open(Watch &w, pid_t pid)
{
	if (!w.records.open(pid)) {
		records_refused(w);
		return;
	}
	for (int fd : w.records.fds())
		watch_fd(w, fd, TOKEN_RECORDS);
}

size_t read_records(Watch &w, Tracker &tr, bool hung_up);

/*
 * Follows every task of the tree into the records, and looks again for
 * what was created meanwhile, until a look finds nothing new: a task
 * followed has every later child in the records.
 */
void
attach_all(Watch &w, Tracker &tr)
{
	for (bool more = true; more;) {
		/* What the records told is created now, and followed. */
		if (w.records.active()) {
			(void)read_records(w, tr, false);
			for (const Record &r : w.recs)
				if (r.fork)
					w.attached.insert(r.tid);
		}
		more = tr.adopt_existing();
		for (pid_t pid : tr.running())
			for (pid_t tid : threads_read(pid))
				if (w.attached.insert(tid).second) {
					more = true;
					if (w.records.active())
						(void)w.records.attach(tid);
				}
	}
}

/*
 * Whether a refusal is for want of rights over it: root, or the same user,
 * may follow it, and is then refused by the system's policy instead
 * (perf_event_paranoid, a security module), as any run would be.
 */
bool
may_trace(pid_t pid)
{
	struct stat st;
	std::string dir = "/proc/" + std::to_string(pid);

	return geteuid() == 0 ||
	       (stat(dir.c_str(), &st) == 0 && st.st_uid == geteuid());
}

/* Following a process it did not start, with the rights of a debugger. */
void
follow_start(Watch &w, Tracker &tr)
{
	pid_t pid = *w.opt.follow;

	if (!tr.follow(pid)) {
		(void)fprintf(stderr, "zombie-watch: --pid=%d: %s\n", (int)pid,
		    errno == ENOENT || errno == ESRCH ? "no such process"
						      : strerror(errno));
		exit(125);
	}
	if (!w.records.open(pid) && errno == EACCES && !may_trace(pid)) {
		(void)fprintf(stderr,
		    "zombie-watch: --pid=%d: not allowed to follow it "
		    "(perf_event_open: %s);\nit needs the rights to attach a "
		    "debugger to it: the same user, or root\n",
		    (int)pid, strerror(errno));
		exit(125);
	}
	if (w.records.active())
		for (int fd : w.records.fds())
			watch_fd(w, fd, TOKEN_RECORDS);
	else
		records_refused(w);
	w.attached.insert(pid);
	attach_all(w, tr);
	tr.started();
}

void
start(Watch &w, Tracker &tr)
{
	int go[2], report[2], hold[2];

	if (pipe2(go, O_CLOEXEC) == -1 || pipe2(report, O_CLOEXEC) == -1 ||
	    pipe2(hold, O_CLOEXEC) == -1)
		fail("pipe");
	Fd go_r(go[0]), go_w(go[1]), rep_r(report[0]), rep_w(report[1]);
	Fd hold_r(hold[0]);
	w.hold = Fd(hold[1]);
	pid_t pid = fork();
	if (pid == -1)
		fail("fork");
	if (pid == 0) {
		go_w.reset();
		w.hold.reset();
		if (!wait_go(go_r.get()))
			_exit(125);
		if (w.opt.probe)
			probe_run(w.in, rep_w.get(), hold_r.get());
		program_exec(w.opt, w.in, rep_w.get());
	}
	hold_r.reset();
	if (!w.opt.probe)
		w.hold.reset();
	Nanos t = tr.now();
	go_r.reset();
	rep_w.reset();
	records_open(w, pid);
	if (!tr.start(pid, t, w.opt.argv[0]))
		fail("pidfd_open");
	if (::write(go_w.get(), "g", 1) != 1)
		fail("pipe");
	go_w.reset();
	if (w.opt.probe) {
		rep_w.reset();
		w.probe = probe_pids(rep_r);
		w.hold_until = tr.now() + PROBE_HOLD;
	} else {
		exec_check(pid, rep_r, w.opt.argv[0]);
	}
	tr.started();
}

/*
 * Tells, in order, what is old enough to be sure of.  Paragraphs go out
 * whole, several to a write up to what a pipe writes at once, so that
 * watchers nested in one another do not split each other's.
 */
void
flush(Watch &w, Nanos horizon)
{
	std::string out;

	w.pending.flush(horizon, w.log, [&w, &out](Index i) {
		std::string p = w.opt.quiet  ? std::string()
				: w.opt.json ? json_event(w.log, i, w.run)
					     : narrate(w.log, i, w.style);
		if (!out.empty() && out.size() + p.size() > PIPE_BUF) {
			w.out.write(out);
			out.clear();
		}
		out += p;
	});
	w.out.write(out);
}

/*
 * A signal from the terminal reached the whole foreground group, and the
 * program with it if it is still in ours.
 */
bool
from_terminal(const struct signalfd_siginfo &si, pid_t program)
{
	if (si.ssi_code != SI_KERNEL || getpgid(program) != getpgrp())
		return false;
	for (int fd = 0; fd <= 2; fd++)
		if (isatty(fd))
			return tcgetpgrp(fd) == getpgrp();
	return false;
}

/*
 * The same signal again from the same sender at once is the same request,
 * sent to the watcher and then to its group, as timeout(1) does; a person
 * who means it twice takes longer.
 */
bool
repeated(Watch &w, const struct signalfd_siginfo &si, Nanos now)
{
	bool same = w.last_signal && w.last_signal->signo == si.ssi_signo &&
		    w.last_signal->from == si.ssi_pid &&
		    now - w.last_signal->at < SAME_SIGNAL;

	w.last_signal = Watch::Received{si.ssi_signo, si.ssi_pid, now};
	return same;
}

void
on_signal(Watch &w, Tracker &tr, const struct signalfd_siginfo &si)
{
	if (repeated(w, si, tr.now()))
		return;
	Event e;
	e.what = What::Signalled;
	e.t = tr.now();
	e.signo = (int)si.ssi_signo;
	e.proc = 0;
	if (w.signals_got++ == 0)
		w.signo = e.signo;
	e.from_terminal =
	    w.signals_got == 1 && from_terminal(si, tr.program_pid());
	/* The first is passed on, unless the program has it already. */
	e.sent = w.signals_got == 1 ? w.signo : SIGKILL;
	/* Following what it did not start, it signals nobody: it stops. */
	if (w.opt.follow) {
		e.sent = 0;
		w.stop = true;
	} else if (!e.from_terminal) {
		e.count = tr.signal_all(e.sent);
	}
	w.pending.push(e);
}

void
on_signals(Watch &w, Tracker &tr)
{
	struct signalfd_siginfo si;
	bool sigchld = false;

	while (read(w.signals.get(), &si, sizeof(si)) == (ssize_t)sizeof(si)) {
		if (si.ssi_signo == SIGCHLD)
			sigchld = true;
		else
			on_signal(w, tr, si);
	}
	if (sigchld)
		tr.collect_ours();
}

bool
tick(const Fd &fd)
{
	unsigned long long n;

	return read(fd.get(), &n, sizeof(n)) == (ssize_t)sizeof(n);
}

/* One look per column of the timeline, as wide as the run so far needs. */
void
on_sample(Watch &w, Tracker &tr, bool busy)
{
	bool stirred = busy;

	if (tick(w.samples))
		stirred = tr.sample() || stirred;
	else if (!busy)
		return;
	/*
	 * While nothing runs, looks come ever further apart, up to the
	 * periodic line's: what did not run did not change, and a look
	 * costs a wakeup.  Any change brings them back to one a column.
	 */
	Nanos width = column_width(tr.now() + 1'000'000);
	Nanos period = stirred ? width : std::min(w.period * 2, STATES_PERIOD);
	period = std::max(period, width);
	struct itimerspec next = every(period);
	if (period != w.period &&
	    timerfd_settime(w.samples.get(), 0, &next, nullptr) == -1)
		fail("timerfd");
	w.period = period;
}

/* How many records it read; their oldest says how far behind it was. */
size_t
read_records(Watch &w, Tracker &tr, bool hung_up)
{
	w.recs.clear();
	Nanos read_at = tr.now();
	bool whole = w.records.read(w.recs, w.t0);
	if (!w.recs.empty())
		tr.behind(read_at - w.recs.front().t);
	tr.records(w.recs, whole);
	if (!whole)
		tr.sweep();
	/*
	 * Everything it followed has gone: it has nothing more to say.  But
	 * following a running tree, the ring's own task may end while tasks
	 * attached to it run on: read it then at each look, unwatched.
	 */
	if (hung_up && w.opt.follow && !tr.running().empty()) {
		for (int fd : w.records.fds())
			(void)epoll_ctl(
			    w.epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
		w.rings_polled = true;
	} else if (hung_up) {
		w.records.close();
	}
	return w.recs.size();
}

int
timeout(const Watch &w, const Tracker &tr, std::optional<Nanos> due)
{
	Nanos now = tr.now();
	std::optional<Nanos> oldest = w.pending.oldest();

	if (oldest && (!due || *oldest + SETTLE < *due))
		due = *oldest + SETTLE;
	if (w.hold)
		due = due ? std::min(*due, w.hold_until) : w.hold_until;
	if (!w.records.active() || tr.polling_needed() || w.rings_polled)
		due =
		    due ? std::min(*due, now + LOOK_PERIOD) : now + LOOK_PERIOD;
	if (!due)
		return -1;
	/* A wait of weeks would not fit: wake, and wait again. */
	Nanos ms = (*due - now + 999'999) / 1'000'000;
	return *due <= now ? 0 : (int)std::min<Nanos>(ms, INT_MAX);
}

void
nap(Nanos ns)
{
	struct timespec ts = {
	    (time_t)(ns / 1'000'000'000), (long)(ns % 1'000'000'000)};

	(void)nanosleep(&ts, nullptr);
}

/* What one wait brought: each descriptor is read only when it is ready. */
struct Turn {
	bool signals = false, states = false, samples = false;
	bool hung_up = false; /* the records: all they followed are gone */
	std::vector<ProcId> ended, gone;
};

Turn
wait_turn(Watch &w, Tracker &tr)
{
	struct epoll_event evs[256];
	Turn t;

	std::optional<Nanos> due = tr.give_up();
	int n = epoll_wait(w.epoll.get(), evs, 256, timeout(w, tr, due));
	if (n == -1 && errno != EINTR)
		fail("epoll_wait");
	for (int i = 0; i < n; i++) {
		std::uint64_t tok = evs[i].data.u64;
		bool in = evs[i].events & EPOLLIN,
		     hup = evs[i].events & EPOLLHUP;
		t.signals = t.signals || tok == TOKEN_SIGNALS;
		t.states = t.states || tok == TOKEN_STATES;
		t.samples = t.samples || tok == TOKEN_SAMPLES;
		t.hung_up = t.hung_up || (tok == TOKEN_RECORDS && hup);
		if (tok < TOKEN_SIGNALS && in)
			t.ended.push_back((ProcId)tok);
		if (tok < TOKEN_SIGNALS && hup)
			t.gone.push_back((ProcId)tok);
	}
	std::sort(t.ended.begin(), t.ended.end());
	std::sort(t.gone.begin(), t.gone.end());
	return t;
}

/*
 * One turn: sleep until the kernel reports something, then take it in the
 * order it happens: records, ends, our own collections, others'.  The
 * rings are read every turn: that costs no system call.
 */
void
step(Watch &w, Tracker &tr)
{
	Turn t = wait_turn(w, tr);
	size_t records = 0;
	/*
	 * Only what is older than what was read, less the window, is sure:
	 * a turn that took long must not tell what was written meanwhile.
	 */
	Nanos horizon = tr.now() - SETTLE;

	if (w.records.active())
		records = read_records(w, tr, t.hung_up);
	if (!w.records.active() && tr.now() - w.last_sweep >= LOOK_PERIOD) {
		tr.sweep();
		w.last_sweep = tr.now();
	}
	for (ProcId id : t.ended)
		tr.exited(id);
	if (t.signals)
		on_signals(w, tr);
	for (ProcId id : t.gone)
		tr.vanished(id);
	if (tr.polling_needed())
		tr.check_alive();
	tr.settle();
	probe_release(w, tr);
	if (t.states && tick(w.states))
		tr.look();
	size_t handled = records + t.ended.size() + t.gone.size();
	if (t.samples || handled > 0)
		on_sample(w, tr, handled > 0);
	flush(w, horizon);
	/*
	 * A burst, as when a program makes many short children: let a few
	 * more come before the next turn, so that one wakeup takes several.
	 * What is told waits longer anyway.  But a collection by another
	 * process is timed when it is seen, so a turn of a few events, or a
	 * reaper check, does not nap: that would lengthen a zombie's span.
	 */
	if (handled >= BURST && !w.opt.check)
		nap(BATCH);
}

/* Ends as the signal that ended the run would have ended us. */
void
reraise(int signo)
{
	sigset_t mask;

	(void)signal(signo, SIG_DFL);
	(void)sigemptyset(&mask);
	(void)sigaddset(&mask, signo);
	(void)raise(signo);
	(void)sigprocmask(SIG_UNBLOCK, &mask, nullptr);
}

/*
 * Under --check-reaper the status is the check's, whatever the program's:
 * a CI job gates on it alone.  The program's own is told apart.
 */
int
check_status(
    const Watch &w, const Tracker &tr, const std::vector<Verdict> &verdicts)
{
	int status = check_status(verdicts);
	std::optional<int> ps = tr.program_status();

	/* Without fork records, an orphan may have come and gone unseen. */
	if (status == 0 && w.records_refused && !w.opt.probe)
		status = 4;
	if (ps && *ps != 0)
		(void)fprintf(stderr, "zombie-watch: %s %s\n", w.opt.argv[0],
		    describe_status(*ps).c_str());
	return status;
}

int
program_exit(const Tracker &tr)
{
	int status = tr.program_status().value_or(0);

	return WIFSIGNALED(status) ? 128 + WTERMSIG(status)
				   : WEXITSTATUS(status);
}

/* What is told once the run is over, before the status line. */
std::string
report(const Watch &w, Nanos end, const std::vector<Verdict> &v)
{
	if (w.opt.json)
		return json_summary(w.log, w.run) +
		       (w.opt.check ? json_verdicts(w.log, v, w.run) : "");
	std::string out = summary(w.log);
	if (w.opt.check)
		out += verdicts(w.log, w.style);
	if (!w.opt.quiet)
		out += timeline(w.log, end, w.style);
	return out;
}

int
finish(Watch &w, const Tracker &tr)
{
	Nanos end = tr.now();
	std::vector<Verdict> v;

	flush(w, end + SETTLE);
	if (w.opt.check)
		v = judge(w.log, w.style);
	int status = w.opt.check ? check_status(w, tr, v) : program_exit(tr);
	w.out.write(report(w, end, v));
	/* Ended by a signal, the watcher re-raises it: a shell sees 128+N. */
	if (w.opt.json)
		w.out.write(
		    json_end(w.run, w.signo != 0 ? 128 + w.signo : status,
			tr.program_status()));
	if (w.out.error() != 0)
		(void)fprintf(stderr, "zombie-watch: %s: %s\n", w.out.name(),
		    strerror(w.out.error()));
	if (w.signo != 0)
		reraise(w.signo);
	return w.out.error() != 0 ? 125 : status;
}

/* Colour only on a terminal, and never where the user said no. */
bool
wants_colour(int fd)
{
	const char *no = getenv("NO_COLOR"), *term = getenv("TERM");

	return isatty(fd) && (no == nullptr || *no == '\0') &&
	       term != nullptr && *term != '\0' && strcmp(term, "dumb") != 0;
}

void
refuse_pid1()
{
	(void)fprintf(stderr,
	    "zombie-watch: --check-reaper: zombie-watch is PID 1 here, so no "
	    "other process\n"
	    "can adopt an orphan and there is no reaper to check.  Run it "
	    "inside the\n"
	    "container under the container's own init, for example with\n"
	    "  docker exec CONTAINER /zombie-watch --check-reaper\n");
	exit(4);
}

/* Random, so that no line the program prints can pass for ours. */
std::string
run_id()
{
	std::uint64_t r = 0;
	char hex[17];

	if (getrandom(&r, sizeof(r), 0) != (ssize_t)sizeof(r))
		fail("getrandom");
	(void)snprintf(hex, sizeof(hex), "%016llx", (unsigned long long)r);
	return hex;
}

/*
 * pidfds and /proc must agree on who is who: a /proc mounted for another
 * PID namespace, as after nsenter -p without -m, names other processes.
 */
void
proc_check()
{
	char self[32];
	ssize_t n = readlink("/proc/self", self, sizeof(self) - 1);

	if (n <= 0)
		fail("/proc/self");
	self[n] = '\0';
	if (strtol(self, nullptr, 10) == (long)getpid())
		return;
	(void)fprintf(stderr,
	    "zombie-watch: /proc belongs to another PID namespace (it does "
	    "not show this\nprocess as %ld); enter the mount namespace too "
	    "(nsenter -p -m), or give the\nnew PID namespace its own /proc "
	    "(unshare --pid --fork --mount-proc)\n",
	    (long)getpid());
	exit(125);
}

void
setup(Watch &w)
{
	standard_files();
	proc_check();
	if (w.opt.output && !w.out.open(w.opt.output->c_str()))
		fail(w.opt.output->c_str());
	w.run = run_id();
	w.style.width = terminal_width(w.out.fd());
	w.style.colour = wants_colour(w.out.fd());
	w.style.reaper_wait = w.opt.reaper_wait;
	w.t0 = monotonic_now();
	files_setup(w.in);
	w.signals = signals_setup(w.in);
	w.epoll = Fd(epoll_create1(EPOLL_CLOEXEC));
	if (!w.epoll)
		fail("epoll_create1");
	watch_fd(w, w.signals.get(), TOKEN_SIGNALS);
	/*
	 * Checking the system's reaper, orphans must be free to reach it;
	 * following a tree it did not start, they are not the watcher's.
	 */
	if (!w.opt.check && !w.opt.follow &&
	    prctl(PR_SET_CHILD_SUBREAPER, 1) == -1)
		fail("prctl");
}

} // namespace

int
main(int argc, char *argv[])
{
	Watch w;

	options(argc, argv, w.opt);
	if (w.opt.scan) {
		/* A closed output is a failure to report, as for a watch. */
		standard_files();
		proc_check();
		(void)signal(SIGPIPE, SIG_IGN);
		return scan_main(w.opt.json, w.opt.output);
	}
	if (w.opt.check && getpid() == 1)
		refuse_pid1();
	setup(w);
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
	if (w.opt.follow)
		follow_start(w, tr);
	else
		start(w, tr);
	w.states = ticker(w, STATES_PERIOD, TOKEN_STATES);
	w.period = column_width(0);
	w.samples = ticker(w, w.period, TOKEN_SAMPLES);
	while (!tr.finished() && !w.stop)
		step(w, tr);
	return finish(w, tr);
}
