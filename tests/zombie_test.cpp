// SPDX-License-Identifier: BSD-2-Clause
/*
 * Drives the real zombie binary for its full minute and watches it from
 * outside, the way a student with ps would.  The test process is a child
 * subreaper, so the orphaned zombie comes back to it when the parent
 * exits and its exit status can be read.
 */

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <dirent.h>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

enum class Out { Pipe, File, Tty, Closed, Full, Missing };

struct Options {
	Out out = Out::Pipe;
	std::vector<std::string> args;
	bool ignore_sigchld = false;
	bool ignore_sighup = false; /* as nohup starts it */
	bool fail_fork = false;
	bool no_perf = false;
	bool no_pidfd = false;
	std::vector<std::string> env; /* NAME=VALUE, set for it */
	const char *program = ZOMBIE_PATH;
	double signal_at = -1; /* once the child is seen */
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
	double grandchild_zombie_at = -1, grandchild_gone_at = -1;
	std::string out, err;
	std::vector<double> out_line_at; /* when each line of out arrived */
};

double
now()
{
	struct timespec ts;
	(void)clock_gettime(CLOCK_MONOTONIC, &ts);
	return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

/* State letter and parent of a process, or 0 once it has gone. */
char
proc_state(pid_t pid, pid_t *ppid)
{
	/* Raw reads: the process may vanish while its file is read. */
	char buf[512];
	std::string path = "/proc/" + std::to_string(pid) + "/stat";
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	ssize_t n = fd >= 0 ? read(fd, buf, sizeof(buf) - 1) : -1;
	if (fd >= 0)
		(void)close(fd);
	buf[n > 0 ? n : 0] = '\0';
	/* After the name, which may hold ") ": " S 1234 ..." */
	const char *paren = strrchr(buf, ')');
	if (paren == nullptr || strlen(paren) < 5)
		return 0;
	*ppid = (pid_t)strtol(paren + 4, nullptr, 10);
	return paren[2];
}

pid_t
find_child_of(pid_t parent)
{
	DIR *d = opendir("/proc");
	pid_t found = -1;
	/* readdir_r is the deprecated one; a stream of our own is safe. */
	// cppcheck-suppress readdirCalled
	for (struct dirent *e; d != nullptr && (e = readdir(d)) != nullptr;) {
		pid_t pid = (pid_t)strtol(e->d_name, nullptr, 10), ppid = 0;
		if (pid > 0 && proc_state(pid, &ppid) != 0 && ppid == parent)
			found = pid;
	}
	if (d != nullptr)
		(void)closedir(d);
	return found;
}

#if defined(__x86_64__)
#define FILTER_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define FILTER_ARCH AUDIT_ARCH_AARCH64
#else
#error "no seccomp filter for this architecture yet"
#endif

/*
 * A system call to refuse with err.  With unless_shared, a clone that
 * shares the caller's memory is let through: a thread, or the helper a
 * leak checker makes, but not a vfork.
 */
struct Refusal {
	long nr;
	int err;
	bool unless_shared;
};

/*
 * Makes the kernel itself refuse these system calls.  A call from another
 * architecture (x32 or 32-bit on x86-64) is not let through under a number
 * that means something else here.
 */
void
refuse(const std::vector<Refusal> &calls)
{
	std::vector<sock_filter> f
	{
		BPF_STMT(
		    BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
		    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, FILTER_ARCH, 1, 0),
		    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
		    BPF_STMT(
			BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
#if defined(__x86_64__)
		    BPF_JUMP(
			BPF_JMP | BPF_JGE | BPF_K, 0x40000000 /* x32 */, 0, 1),
		    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
#endif
	};
	/* Five instructions a call, then the one that allows: */
	size_t allow = f.size() + 5 * calls.size();
	for (const Refusal &c : calls) {
		uint32_t vfork = c.unless_shared ? CLONE_VFORK : 0;
		uint32_t vm = c.unless_shared ? CLONE_VM : 0;
		f.push_back(
		    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (uint32_t)c.nr, 0, 4));
		/* The flags of clone, its first argument, low word first. */
		f.push_back(BPF_STMT(
		    BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])));
		f.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, vfork, 1, 0));
		f.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, vm,
		    (uint8_t)(allow - f.size() - 1), 0));
		f.push_back(BPF_STMT(
		    BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (uint32_t)c.err));
	}
	f.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
	struct sock_fprog prog = {(unsigned short)f.size(), f.data()};
	if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
	    prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0)
		_exit(126);
}

/*
 * As under a process limit: every call that creates a process fails, and
 * threads are still made.  clone3 hides its flags from a filter, so it is
 * refused as unknown and C libraries fall back to clone.
 */
std::vector<Refusal>
no_fork()
{
	return {
#ifdef SYS_fork
	    {SYS_fork, EAGAIN, false},
#endif
#ifdef SYS_vfork
	    {SYS_vfork, EAGAIN, false},
#endif
	    {SYS_clone, EAGAIN, true},
	    {SYS_clone3, ENOSYS, false},
	};
}

void
drain(
    int fd, std::string &into, double t, std::vector<double> *line_at = nullptr)
{
	char buf[4096];
	ssize_t n;
	while (fd >= 0 && (n = read(fd, buf, sizeof(buf))) > 0) {
		into.append(buf, (size_t)n);
		for (ssize_t i = 0; line_at != nullptr && i < n; i++)
			if (buf[i] == '\n')
				line_at->push_back(t);
	}
}

/* The program's standard output, as o.out asks, and the harness's end. */
void
open_output(Out out, int *out_r, int *out_w)
{
	char file_name[] = "/tmp/zombie-test-XXXXXX";
	int p[2];

	*out_r = *out_w = -1;
	if (out == Out::Pipe || out == Out::Closed) {
		EXPECT_EQ(pipe2(p, O_CLOEXEC), 0);
		*out_r = p[0], *out_w = p[1];
	} else if (out == Out::File) {
		*out_w = mkostemp(file_name, O_CLOEXEC);
		*out_r = open(file_name, O_RDONLY | O_CLOEXEC);
		(void)unlink(file_name);
	} else if (out == Out::Full) {
		*out_w = open("/dev/full", O_WRONLY | O_CLOEXEC);
	} else if (out == Out::Tty) {
		struct termios raw;
		cfmakeraw(&raw);
		EXPECT_EQ(openpty(out_r, out_w, nullptr, &raw, nullptr), 0);
		(void)fcntl(*out_r, F_SETFD, FD_CLOEXEC);
		(void)fcntl(*out_w, F_SETFD, FD_CLOEXEC);
	}
	if (out == Out::Closed) {
		(void)close(*out_r);
		*out_r = -1;
	}
}

/* In the forked child: becomes the program, set up as o says. */
[[noreturn]] void
exec_program(const Options &o, int out_w, int err_w)
{
	std::vector<char *> argv{const_cast<char *>(o.program)};
	for (const std::string &a : o.args)
		argv.push_back(const_cast<char *>(a.c_str()));
	argv.push_back(nullptr);
	sigset_t none;
	sigemptyset(&none);
	(void)sigprocmask(SIG_SETMASK, &none, nullptr);
	(void)signal(SIGCHLD, o.ignore_sigchld ? SIG_IGN : SIG_DFL);
	(void)signal(SIGHUP, o.ignore_sighup ? SIG_IGN : SIG_DFL);
	if (o.typed) {
		struct termios t;
		(void)setsid();
		(void)ioctl(out_w, TIOCSCTTY, 0);
		(void)tcgetattr(out_w, &t);
		t.c_lflag |= ISIG;
		t.c_cc[VINTR] = 003;
		(void)tcsetattr(out_w, TCSANOW, &t);
	} else {
		(void)setpgid(0, 0);
	}
	if (o.out == Out::Missing)
		(void)close(1);
	else
		(void)dup2(out_w, 1);
	(void)dup2(err_w, 2);
	for (const std::string &e : o.env)
		(void)putenv(const_cast<char *>(e.c_str()));
	if (o.fail_fork)
		refuse(no_fork());
	/* As in many containers. */
	if (o.no_perf)
		refuse({{SYS_perf_event_open, EPERM, false}});
	if (o.no_pidfd)
		refuse({{SYS_pidfd_open, EPERM, false}});
	execv(o.program, argv.data());
	_exit(127);
}

/* Collects one process if one has ended; false once none is left. */
bool
reap(Seen &r, double t, bool *reaped)
{
	int status;
	pid_t w = waitpid(-1, &status, WNOHANG);

	*reaped = w > 0;
	if (w == r.parent) {
		r.parent_exit_at = t;
		r.parent_status = status;
	} else if (w > 0 && w == r.child) {
		r.child_reaped_at = t;
		r.child_status = status;
	} else if (w > 0) {
		r.strangers_reaped++;
	}
	return w != -1 || errno != ECHILD;
}

void
look_at_grandchild(Seen &r, double t)
{
	pid_t ppid = 0;

	if (r.grandchild == -1 && r.child > 0 && r.parent_exit_at >= 0)
		return;
	if (r.grandchild == -1 && r.child > 0)
		r.grandchild = find_child_of(r.child);
	if (r.grandchild <= 0 || r.grandchild_gone_at >= 0)
		return;
	char st = proc_state(r.grandchild, &ppid);
	if (st == 'Z' && r.grandchild_zombie_at < 0)
		r.grandchild_zombie_at = t;
	if (st == 0)
		r.grandchild_gone_at = t;
}

/* What ps would show of the child now. */
void
look(Seen &r, double t)
{
	pid_t ppid = 0;

	if (r.parent_exit_at < 0 && r.child == -1)
		r.child = find_child_of(r.parent);
	else
		look_at_grandchild(r, t);
	char st = r.child > 0 ? proc_state(r.child, &ppid) : '\0';
	/* A glimpse of it running says nothing; skip it. */
	if (st != 0 && st != 'R' &&
	    (r.child_states.empty() || r.child_states.back() != st))
		r.child_states += st;
	if (st == 'Z' && r.zombie_at < 0)
		r.zombie_at = t;
	if (st == 0 && r.child > 0 && r.child_reaped_at < 0 &&
	    r.child_vanished_at < 0)
		r.child_vanished_at = t;
	if (st != 0 && ppid == getpid())
		r.child_reparented = true;
	else if (st != 0 && ppid != r.parent)
		r.foreign_ppid = true;
}

/* Sends o's signal when it is due, half a second between repeats. */
void
signal_if_due(const Options &o, const Seen &r, double t, int *sent,
    double *last, int terminal)
{
	if (o.signal_at < 0 || *sent >= o.signal_times || t < o.signal_at ||
	    t < *last + 0.5 || r.child <= 0)
		return;
	if (o.typed)
		(void)!write(terminal, "\003", 1);
	else
		(void)kill(o.signal_group ? -r.parent : r.parent, o.signo);
	(*sent)++;
	*last = t;
}

/* Starts the program and watches it until every process has been reaped. */
Seen
watch(const Options &o)
{
	Seen r;
	int out_r, out_w, err_p[2];

	EXPECT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
	open_output(o.out, &out_r, &out_w);
	EXPECT_EQ(pipe2(err_p, O_CLOEXEC), 0);
	double t0 = now(), t = 0, last_signal = 0;
	r.parent = fork();
	if (r.parent == -1) {
		ADD_FAILURE() << "fork: " << strerror(errno);
		return r;
	}
	if (r.parent == 0)
		exec_program(o, out_w, err_p[1]);
	(void)close(out_w);
	(void)close(err_p[1]);
	(void)fcntl(err_p[0], F_SETFL, O_NONBLOCK);
	if (out_r >= 0)
		(void)fcntl(out_r, F_SETFL, O_NONBLOCK);
	bool reaped;
	int signals = 0;
	while (t < 80 && reap(r, t, &reaped)) {
		drain(out_r, r.out, t, &r.out_line_at);
		drain(err_p[0], r.err, t);
		if (!reaped) {
			look(r, t);
			signal_if_due(o, r, t, &signals, &last_signal, out_r);
			(void)usleep(50000);
		}
		t = now() - t0;
	}
	look_at_grandchild(r, now() - t0);
	/* Whatever outlived the deadline must not outlive the test. */
	(void)kill(-r.parent, SIGKILL);
	while (waitpid(-1, nullptr, 0) > 0)
		;
	if (out_r >= 0)
		(void)fcntl(out_r, F_SETFL, 0);
	drain(out_r, r.out, now() - t0, &r.out_line_at);
	drain(err_p[0], r.err, now() - t0);
	if (out_r >= 0)
		(void)close(out_r);
	(void)close(err_p[0]);
	return r;
}

std::string
announcement(const Seen &r)
{
	return "Je suis " + std::to_string(r.parent) + " et mon fils " +
	       std::to_string(r.child) + " va devenir un zombie\n";
}

/* A number of seconds as the watcher prints it, "30.002". */
double
seconds(const char *s)
{
	return strtod(s, nullptr);
}

/* Sleeps are never early; the upper slack absorbs a loaded machine. */
#define EXPECT_AROUND(t, want)                                                 \
	do {                                                                   \
		EXPECT_GE((t), (want)-0.2);                                    \
		EXPECT_LE((t), (want) + 3.0);                                  \
	} while (0)

struct Case {
	const char *name;
	Options opts;
};

void
PrintTo(const Case &c, std::ostream *os)
{
	*os << c.name;
}

class Demonstration : public testing::TestWithParam<Case> {};

TEST_P(Demonstration, ZombieFrom30To60s)
{
	Seen r = watch(GetParam().opts);

	ASSERT_GT(r.child, 0) << "no child was ever seen";
	EXPECT_EQ(r.child_states, "SZ") << "child's states in /proc";
	EXPECT_FALSE(r.foreign_ppid)
	    << "child had a parent other than " << r.parent;
	EXPECT_AROUND(r.zombie_at, 30.0);
	EXPECT_LT(r.child_vanished_at, 0) << "collected while parent lived";
	EXPECT_AROUND(r.parent_exit_at, 60.0);
	EXPECT_EQ(r.parent_status, 0);
	EXPECT_GE(r.child_reaped_at, r.parent_exit_at)
	    << "orphan never came to the reaper";
	EXPECT_EQ(r.child_status, 0);
	EXPECT_EQ(r.strangers_reaped, 0);

	EXPECT_EQ(r.out, announcement(r));
	EXPECT_EQ(r.err, "");
	if (GetParam().opts.out == Out::Tty)
		EXPECT_LT(r.out_line_at.at(0), 2.0)
		    << "line held back on a terminal";
	else
		EXPECT_GE(r.out_line_at.at(0), 59.8) << "line left before exit";
}

Options
with(Out out, std::vector<std::string> args = {})
{
	Options o;
	o.out = out;
	o.args = std::move(args);
	return o;
}

INSTANTIATE_TEST_SUITE_P(Outputs, Demonstration,
    testing::Values(Case{"Pipe", with(Out::Pipe)},
	Case{"File", with(Out::File)}, Case{"Terminal", with(Out::Tty)},
	Case{"ArgumentsIgnored", with(Out::Pipe, {"-h", "--help", "60", ""})}),
    [](const testing::TestParamInfo<Case> &i) { return i.param.name; });

TEST(Zombie, InheritedIgnoredSigchldMeansNoZombie)
{
	Options o;
	o.ignore_sigchld = true;
	Seen r = watch(o);

	ASSERT_GT(r.child, 0);
	EXPECT_EQ(r.child_states.find('Z'), std::string::npos);
	EXPECT_AROUND(r.child_vanished_at, 30.0);
	EXPECT_AROUND(r.parent_exit_at, 60.0);
	EXPECT_EQ(r.parent_status, 0);
	EXPECT_EQ(r.out, announcement(r));
	EXPECT_EQ(r.err, "");
}

TEST(Zombie, ChildOfAKilledParentIsAdoptedAndExitsCleanly)
{
	Options o;
	o.signal_at = 2.0;
	Seen r = watch(o);

	ASSERT_GT(r.child, 0);
	EXPECT_TRUE(WIFSIGNALED(r.parent_status) &&
		    WTERMSIG(r.parent_status) == SIGTERM);
	EXPECT_LT(r.parent_exit_at, 5.0);
	EXPECT_TRUE(r.child_reparented);
	EXPECT_AROUND(r.child_reaped_at, 30.0);
	EXPECT_EQ(r.child_status, 0);
	EXPECT_EQ(r.err, "");
}

TEST(Zombie, ForkFailureIsReportedNotAnnounced)
{
	Options o;
	o.fail_fork = true;
	Seen r = watch(o);

	EXPECT_EQ(r.child, -1);
	EXPECT_TRUE(
	    WIFEXITED(r.parent_status) && WEXITSTATUS(r.parent_status) == 1)
	    << "wait status " << r.parent_status;
	EXPECT_LT(r.parent_exit_at, 5.0) << "slept after failing";
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "fork: Resource temporarily unavailable\n");
}

/* When the first line of out that matches arrived; its captures in m. */
double
line(const Seen &r, const std::string &pattern,
    std::vector<std::string> *m = nullptr)
{
	std::istringstream in(r.out);
	std::string l;
	std::smatch sm;
	for (size_t i = 0; std::getline(in, l); i++) {
		if (!std::regex_search(l, sm, std::regex(pattern)))
			continue;
		if (m != nullptr)
			m->assign(sm.begin(), sm.end());
		return i < r.out_line_at.size() ? r.out_line_at[i] : -1;
	}
	ADD_FAILURE() << "no line matches " << pattern << " in:\n" << r.out;
	if (m != nullptr)
		m->assign(3, "");
	return -1;
}

Options
watcher(std::vector<std::string> args = {})
{
	Options o = with(Out::Pipe, std::move(args));
	o.program = WATCH_PATH;
	return o;
}

/* Anything the watcher left uncollected would have come to the harness. */
void
expect_nothing_left(const Seen &r)
{
	EXPECT_LT(r.child_reaped_at, 0) << "the program was left behind";
	EXPECT_EQ(r.strangers_reaped, 0) << "processes were left behind";
}

bool
ended_by(const Seen &r, int signo)
{
	return WIFSIGNALED(r.parent_status) &&
	       WTERMSIG(r.parent_status) == signo;
}

bool
exited(const Seen &r, int status)
{
	return WIFEXITED(r.parent_status) &&
	       WEXITSTATUS(r.parent_status) == status;
}

/* The program's own process, as the watcher announced it. */
std::string
program_pid(const Seen &r)
{
	std::vector<std::string> m;
	line(r, "] zombie-watch \\(\\d+\\) started .* as process (\\d+)$", &m);
	return m[1];
}

TEST(Watch, ShowsTheLifecycleAsItHappens)
{
	Seen r = watch(watcher());
	std::vector<std::string> m;

	EXPECT_AROUND(r.parent_exit_at, 60.0);
	EXPECT_TRUE(exited(r, 0)) << "wait status " << r.parent_status;
	EXPECT_EQ(r.err, "");
	expect_nothing_left(r);

	EXPECT_AROUND(
	    line(r, "^Je suis (\\d+) et mon fils (\\d+) va", &m), 60.0);
	std::string zombie = m[2], parent = program_pid(r);
	EXPECT_EQ(m[1], parent);
	EXPECT_LT(
	    line(r, "] parent " + parent + " created child " + zombie + "$"),
	    1.0);
	std::string child = "child " + zombie + " of " + parent + " ";
	EXPECT_AROUND(line(r, child + "sleeping \\(S\\)"), 5.0);
	EXPECT_AROUND(
	    line(r, child + "exited with status 0, now a zombie \\(Z\\)$"),
	    30.0);
	/* The tick at 30 s may come just after the exit, or just before. */
	double still = line(r, child + "zombie \\(Z\\)$");
	EXPECT_GE(still, 29.8);
	EXPECT_LE(still, 38.0);
	EXPECT_AROUND(
	    line(r, "] parent " + parent + " exited with status 0$"), 60.0);
	EXPECT_AROUND(line(r, "] child " + zombie +
				  ", orphaned and still zombie \\(Z\\), "
				  "passes to zombie-watch \\(\\d+\\)$"),
	    60.0);
	EXPECT_AROUND(line(r, "] zombie-watch \\(\\d+\\) collected child " +
				  zombie + ", which exited with status 0$"),
	    60.0);

	/*
	 * The span agrees with what the harness saw, to its 50 ms; the times
	 * themselves count from two starts, the watcher's a little later.
	 */
	line(r,
	    "^summary: child " + zombie +
		" was a zombie from (\\d+\\.\\d{3})s to (\\d+\\.\\d{3})s, "
		"for (\\d+\\.\\d{3})s$",
	    &m);
	double from = seconds(m[1].c_str()), to = seconds(m[2].c_str());
	EXPECT_AROUND(from, 30.0);
	EXPECT_NEAR(
	    to - from, r.grandchild_gone_at - r.grandchild_zombie_at, 0.1);
	EXPECT_NEAR(seconds(m[3].c_str()), to - from, 0.0015);

	/* One column a second; the zombie where the harness saw it. */
	line(r, "^timeline: one column is 1s;");
	line(r,
	    "^child " + zombie +
		" +(S+)(Z+) exited with status 0; "
		"collected by zombie-watch \\(\\d+\\)$",
	    &m);
	EXPECT_NEAR(m[1].size(), r.grandchild_zombie_at, 1.0);
	EXPECT_NEAR(m[1].size() + m[2].size(), 60, 1);
	line(r, "^parent " + parent + " +S{59,61} exited with status 0;");
}

/* The watcher on one of the tests' process families. */
Seen
family(const char *mode, bool no_perf = false)
{
	Options o = watcher({FAMILY_PATH, mode});
	o.no_perf = no_perf;
	Seen r = watch(o);
	EXPECT_EQ(r.err, no_perf ? "zombie-watch: fork records refused "
				   "(perf_event_open: Operation not "
				   "permitted);\nlooking for children "
				   "instead, which misses any that live less "
				   "than 40 ms\n"
				 : "")
	    << mode;
	expect_nothing_left(r);
	return r;
}

/* Every line about one process, the reasons under them included. */
std::string
about(const Seen &r, const std::string &pid)
{
	std::istringstream in(r.out);
	std::string l, text;
	bool in_it = false;
	std::regex named("\\b(child|parent) " + pid + "\\b");
	while (std::getline(in, l)) {
		if (l.rfind("         ", 0) != 0)
			in_it = std::regex_search(l, named);
		if (in_it)
			text += l + "\n";
	}
	return text;
}

TEST(Watch, TellsWhoCollectedEachChildAndHow)
{
	std::vector<std::string> m;

	/* SA_NOCLDWAIT and SIGCHLD ignored: no one waits, and no zombie. */
	for (const char *mode : {"nocldwait", "ignore"}) {
		Seen r = family(mode);
		line(r, "] parent \\d+ created child (\\d+)$", &m);
		std::string kid = about(r, m[1]);
		EXPECT_NE(kid.find("the kernel released child " + m[1] +
				   " as it ended"),
		    std::string::npos)
		    << kid;
		EXPECT_EQ(kid.find("wait"), kid.find("no one calls wait") + 13)
		    << kid;
		EXPECT_EQ(kid.find("now a zombie"), std::string::npos) << kid;
		line(r, "^summary: child " + m[1] + " was never a zombie");
	}
	/* Collected with waitpid; then, SIGCHLD ignored, released. */
	Seen r = family("waitignore");
	line(r, "] parent \\d+ collected child \\d+, which exited with "
		"status 1$");
	line(r, "] the kernel released child \\d+ as it ended, since its "
		"parent \\d+ ignores SIGCHLD$");
	/* Three collected, then the parent's end: told in that order. */
	r = family("three");
	std::string p = program_pid(r);
	size_t last = r.out.find("] parent " + p + " exited");
	for (const char *st : {"1", "2", "3"}) {
		size_t at = r.out.find(
		    ", which exited with status " + std::string(st) + "\n");
		EXPECT_LT(at, last) << r.out;
		EXPECT_NE(r.out.rfind("] parent " + p + " collected child", at),
		    std::string::npos);
	}
	/* A subreaper that collects two orphans at once: both are its. */
	r = family("subreaper");
	p = program_pid(r);
	for (const char *st : {"5", "6"})
		line(r, "] parent " + p +
			    " collected child \\d+, which exited "
			    "with status " +
			    st + "$");
	/* CLONE_PARENT: the parent is the creator's parent, and collects. */
	r = family("cloneparent");
	p = program_pid(r);
	line(r,
	    "] child \\d+ created child (\\d+), whose parent is parent " + p +
		"$",
	    &m);
	line(r, "] parent " + p + " collected child " + m[1] + ",");
}

TEST(Watch, AMainThreadGoneIsNoZombie)
{
	Seen r = family("leader");
	std::string p = program_pid(r);

	line(
	    r, "] parent " + p + "'s main thread exited; 1 thread still runs$");
	EXPECT_EQ(r.out.find("zombie (Z)"), std::string::npos) << r.out;
	line(r, "] parent " + p + " exited with status 0$");
	line(r, "^parent " + p + " +[.SR]*z+[Z.]* exited with status 0;");
}

/* All of them, told from the kernel's records, though most are gone first. */
TEST(Watch, ReportsEveryOneOfManyShortChildren)
{
	Seen r = watch(watcher({FAMILY_PATH, "many", "500"}));
	std::set<std::string> created, collected;
	std::regex c("] parent \\d+ created child (\\d+)$");
	/* Gone before it could be held, its status may not be known. */
	std::regex k("collected child (\\d+), which (exited with status 0|"
		     "ended)$|released child (\\d+) ");
	std::istringstream in(r.out);
	std::smatch sm;
	for (std::string l; std::getline(in, l);) {
		if (std::regex_search(l, sm, c))
			created.insert(sm[1]);
		if (std::regex_search(l, sm, k))
			collected.insert(sm[1].matched ? sm[1] : sm[3]);
	}
	EXPECT_TRUE(exited(r, 0)) << "wait status " << r.parent_status;
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(created.size(), 500u);
	EXPECT_EQ(collected, created);
	expect_nothing_left(r);
}

/* Where fork records are refused, children that live long are found. */
TEST(Watch, FindsChildrenWithoutForkRecords)
{
	Seen r = family("three", true);
	std::string p = program_pid(r);

	for (const char *st : {"1", "2", "3"})
		line(r, "] parent " + p +
			    " collected child \\d+, which "
			    "exited with status " +
			    st + "$");
}

TEST(Watch, EndsAsInterruptedOnceAllAreCollected)
{
	Options plain = watcher(),
		stubborn = watcher({"sh", "-c", "trap '' INT; sleep 30"});
	for (Options *o : {&plain, &stubborn}) {
		o->signal_at = 2.0;
		o->signo = SIGINT;
		o->signal_group = true;
	}
	/* It ignores the first Ctrl-C; a second one is meant. */
	stubborn.signal_times = 2;
	for (const Options *o : {&plain, &stubborn}) {
		Seen r = watch(*o);
		EXPECT_LT(r.parent_exit_at, 5.0);
		EXPECT_TRUE(ended_by(r, SIGINT))
		    << "wait status " << r.parent_status;
		expect_nothing_left(r);
		std::string parent = program_pid(r);
		int sig = o == &plain ? SIGINT : SIGKILL;
		line(r, "parent " + parent + " was killed by signal " +
			    std::to_string(sig) + " ");
		line(r, "collected child \\d+, which was killed by signal " +
			    std::to_string(sig) + " ");
	}
}

/* Under nohup a hangup is ignored: by the watcher and by the program. */
TEST(Watch, LeavesAnIgnoredHangupIgnored)
{
	Options o = watcher({"sh", "-c", "sleep 1; exit 5"});
	o.ignore_sighup = true;
	o.signal_at = 0.3;
	o.signo = SIGHUP;
	o.signal_group = true;
	Seen r = watch(o);

	EXPECT_TRUE(exited(r, 5)) << "wait status " << r.parent_status;
	EXPECT_GE(r.parent_exit_at, 0.9);
	EXPECT_EQ(r.out.find("received SIGHUP"), std::string::npos) << r.out;
}

/* ^C reaches the whole foreground group: the program gets it once. */
TEST(Watch, PassesOnNoSignalTheTerminalSentToAll)
{
	Options o = watcher({"perl", "-e",
	    "$n = 0; $SIG{INT} = sub { $n++ }; "
	    "select(undef, undef, undef, 0.1) for 1..15; "
	    "print STDERR \"got $n\\n\""});
	o.out = Out::Tty;
	o.typed = true;
	o.signal_at = 0.5;
	Seen r = watch(o);

	EXPECT_TRUE(ended_by(r, SIGINT)) << "wait status " << r.parent_status;
	EXPECT_EQ(r.err, "got 1\n");
	line(r, "received SIGINT from the terminal, which sent it to the "
		"program too");
}

TEST(Watch, ColoursTheZombieOnlyOnATerminalThatWantsIt)
{
	const char *zombie = "\033[1;7;31mZ";
	Options o = watcher({"sh", "-c", "sleep 0.3 & exec sleep 0.6"});
	o.env = {"TERM=xterm", "NO_COLOR="};
	o.out = Out::Tty;
	EXPECT_NE(watch(o).out.find(zombie), std::string::npos);
	o.out = Out::Pipe;
	EXPECT_EQ(watch(o).out.find('\033'), std::string::npos);
	o.out = Out::Tty;
	o.env = {"TERM=xterm", "NO_COLOR=1"};
	EXPECT_EQ(watch(o).out.find('\033'), std::string::npos);
}

/* Exits 1 when it started with SIGCHLD ignored and no signal blocked. */
const char *inherited = "SigBlk:[[:space:]]+0+[[:space:]]+SigIgn:[[:space:]]+"
			"[0-9a-f]*[13579bdf][0-9a-f]{4}[[:space:]]";

TEST(Watch, ReportsWhatWentWrong)
{
	struct {
		Options o;
		int status;
		const char *err;
	} cases[] = {
	    {watcher({"/nonexistent"}), 127, "cannot run /nonexistent"},
	    {watcher({"sh", "-c", "echo oops >&2; exit 3"}), 3, "^oops\n$"},
	    {watcher({"--bogus"}), 2, "unknown option --bogus"},
	    {watcher(), 125, "^zombie-watch: fork: Resource temporarily"},
	    {watcher({"grep", "-Ezqv", inherited, "/proc/self/status"}), 1,
		"^$"},
	    {watcher({"sh", "-c", "sleep 1 & exec sleep 0.5"}), 125,
		"^zombie-watch: standard output: Broken pipe\n$"},
	    {watcher({"sh", "-c", "sleep 1 & exec sleep 0.5"}), 125,
		"^zombie-watch: standard output: No space left on device\n$"},
	    {watcher({FAMILY_PATH, "term"}), 143, "^$"},
	    {watcher({"--check-reaper", "--reaper-wait=0x10"}), 2,
		"not a number of seconds"},
	    {watcher({"--check-reaper", "--reaper-wait= 5"}), 2,
		"not a number of seconds"},
	    {watcher({"sh", "-c", "sleep 0.2 & exit 4"}), 4, "^$"},
	};
	cases[3].o.fail_fork = true;
	cases[4].o.ignore_sigchld = true;
	cases[5].o.out = Out::Closed;
	cases[6].o.out = Out::Full;
	/* Started without standard output, its own files must not take 1. */
	cases[10].o.out = Out::Missing;
	for (const auto &c : cases) {
		Seen r = watch(c.o);
		EXPECT_TRUE(exited(r, c.status))
		    << c.err << ": wait status " << r.parent_status;
		EXPECT_TRUE(std::regex_search(r.err, std::regex(c.err)))
		    << r.err;
		EXPECT_LT(r.parent_exit_at, 5.0);
		expect_nothing_left(r);
		if (c.status == 127) {
			EXPECT_EQ(r.out, "") << "told of what never started";
		}
	}
	/* Failing before it is ready, it does not let the program run. */
	Options unready = watcher({"sh", "-c", "echo ran"});
	unready.no_pidfd = true;
	Seen r = watch(unready);
	EXPECT_TRUE(exited(r, 125)) << "wait status " << r.parent_status;
	EXPECT_EQ(r.err, "zombie-watch: pidfd_open: Operation not permitted\n");
	EXPECT_EQ(r.out, "");
	Seen quiet = watch(watcher({"sh", "-c", "exit 3"}));
	line(quiet, "^summary: no child was seen$");
	Seen help = watch(watcher({"--help"}));
	EXPECT_EQ(help.parent_status, 0);
	EXPECT_EQ(help.out.rfind("usage: zombie-watch", 0), 0u) << help.out;
}

/* Real PID namespaces need root; CI has it, so there they must run. */
#define NEED_ROOT()                                                            \
	do {                                                                   \
		if (geteuid() != 0 && getenv("CI") != nullptr)                 \
			FAIL() << "PID namespaces need root, which CI has";    \
		if (geteuid() != 0)                                            \
			GTEST_SKIP() << "PID namespaces need root";            \
	} while (0)

/* Runs args in a new PID namespace under an init that behaves as mode. */
Options
under_pid1(const char *mode, std::vector<std::string> args)
{
	args.insert(args.begin(), mode);
	Options o = with(Out::Pipe, std::move(args));
	o.program = PID1_PATH;
	return o;
}

/* A child that is a zombie from 0.3 s and orphaned at 0.6 s. */
const char *orphan = "sleep 0.3 & exec sleep 0.6";
/* A double fork: orphaned at once, a zombie from 0.3 s. */
const char *daemon_like = "(sleep 0.3 &); exec sleep 0.6";

TEST(Reaper, PlainZombieStaysUnderAnInitThatNeverCollects)
{
	NEED_ROOT();
	Seen r = watch(under_pid1("ignore", {ZOMBIE_PATH}));
	std::vector<std::string> m;

	EXPECT_TRUE(exited(r, 0)) << "wait status " << r.parent_status;
	line(r, "^Je suis (\\d+) et mon fils (\\d+) va", &m);
	EXPECT_EQ(r.err, "pid1: zombies of PID 1: " + m[2] + "\n");
}

TEST(Reaper, CheckedUnderAnInitThatNeverCollects)
{
	NEED_ROOT();
	/* As a subreaper, the watcher leaves nothing for PID 1. */
	Seen watched =
	    watch(under_pid1("ignore", {WATCH_PATH, "sh", "-c", daemon_like}));
	EXPECT_TRUE(exited(watched, 0))
	    << "wait status " << watched.parent_status;
	EXPECT_EQ(watched.err, "pid1: zombies of PID 1: none\n");

	Seen r = watch(under_pid1(
	    "ignore", {WATCH_PATH, "--check-reaper", "--reaper-wait=1", "sh",
			  "-c", daemon_like}));
	std::vector<std::string> m;
	EXPECT_TRUE(exited(r, 3)) << "wait status " << r.parent_status;
	EXPECT_AROUND(line(r,
			  "^reaper: child (\\d+) was not collected by PID 1 "
			  "\\(pid1\\) within 1\\.000s of being orphaned$",
			  &m),
	    1.3);
	line(r, "^ +PID 1 \\(pid1\\) does not collect orphans");
	/* The check leaves what it found. */
	EXPECT_EQ(r.err, "pid1: zombies of PID 1: " + m[1] + "\n");
}

/*
 * Collected at once, the orphan may be gone before the watcher can look at
 * it; the program makes sure of that by stopping the watcher meanwhile.
 */
const char *unseen = "sleep 0.3 & (sleep 0.1; kill -STOP $PPID; sleep 0.5; "
		     "kill -CONT $PPID) & exec sleep 0.4";

/* The delay is the kernel's to the watcher's sight: bounded, not exact. */
TEST(Reaper, CheckedUnderInitsThatCollectLateAtOnceOrRelease)
{
	NEED_ROOT();
	struct {
		const char *mode, *program;
		double least, most;
	} cases[] = {{"collect=0.4", orphan, 0.39, 2.5},
	    {"collect=0", unseen, 0, 1.0}, {"release", orphan, -1, -1}};
	for (const auto &c : cases) {
		Seen r = watch(under_pid1(c.mode,
		    {WATCH_PATH, "--check-reaper", "sh", "-c", c.program}));
		std::vector<std::string> m;

		EXPECT_TRUE(exited(r, 0)) << "wait status " << r.parent_status;
		EXPECT_EQ(r.err, "");
		if (c.least < 0) {
			line(r,
			    "^reaper: child \\d+ was released by the kernel "
			    "as it passed to PID 1 \\(pid1\\), which "
			    "ignores SIGCHLD$");
			line(r, "^child \\d+ +\\.*[SR]+Z+\\.* exited with "
				"status 0; "
				"released by the kernel$");
			continue;
		}
		line(r,
		    "^reaper: child \\d+ was collected by PID 1 \\(pid1\\) "
		    "(\\d+\\.\\d{3})s after it was orphaned$",
		    &m);
		EXPECT_GE(seconds(m[1].c_str()), c.least) << c.mode;
		EXPECT_LE(seconds(m[1].c_str()), c.most) << c.mode;
		line(r, "^child \\d+ +\\.*[SR]+Z+\\.* exited with status 0; "
			"collected by PID 1 \\(pid1\\)$");
	}
}

/* Copies a program, as cp would, without a shell to run cp. */
bool
copy_program(const char *from, const std::string &to)
{
	char buf[65536];
	ssize_t n = 0;
	int in = open(from, O_RDONLY | O_CLOEXEC);
	int out =
	    open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);

	while (in != -1 && out != -1 && (n = read(in, buf, sizeof(buf))) > 0)
		if (write(out, buf, (size_t)n) != n)
			n = -1, errno = EIO;
	bool ok = in != -1 && out != -1 && n == 0;
	if (in != -1)
		(void)close(in);
	return out != -1 && close(out) == 0 && ok;
}

TEST(Reaper, StaticProgramsRunInAnEmptyRoot)
{
	NEED_ROOT();
	char root[] = "/tmp/zombie-root-XXXXXX";
	ASSERT_NE(mkdtemp(root), nullptr);
	std::string dir = root;
	ASSERT_TRUE(copy_program(STATIC_ZOMBIE_PATH, dir + "/zombie"));
	ASSERT_TRUE(copy_program(STATIC_WATCH_PATH, dir + "/zombie-watch"));
	ASSERT_EQ(mkdir((dir + "/proc").c_str(), 0555), 0);
	Seen r = watch(under_pid1("ignore", {"--root", dir, "/zombie-watch"}));
	std::vector<std::string> m;

	EXPECT_TRUE(exited(r, 0)) << "wait status " << r.parent_status;
	EXPECT_EQ(r.err, "pid1: zombies of PID 1: none\n");
	line(r, "^Je suis (\\d+) et mon fils (\\d+) va", &m);
	line(r, "^summary: child " + m[2] +
		    " was a zombie from 3\\d\\.\\d{3}s to 6\\d\\.\\d{3}s");
	line(r, "^child " + m[2] +
		    " +S{29,31}Z{29,31} exited with status 0; "
		    "collected by zombie-watch");
	for (const char *name : {"/zombie", "/zombie-watch"})
		EXPECT_EQ(unlink((dir + name).c_str()), 0);
	EXPECT_EQ(rmdir((dir + "/proc").c_str()), 0);
	EXPECT_EQ(rmdir(root), 0);
}

} // namespace
