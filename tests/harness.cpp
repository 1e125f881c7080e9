// SPDX-License-Identifier: BSD-2-Clause
/* The end-to-end tests' harness: see harness.h. */
#include "harness.h"

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
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

/* State letter and parent of a process, or 0 once it has gone. */
char
proc_state(pid_t pid, pid_t *ppid, unsigned long long *start = nullptr)
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
	char *field = nullptr;
	*ppid = (pid_t)strtol(paren + 4, &field, 10);
	/* The start time is the 22nd field; the ppid was the 4th. */
	for (int i = 4; i < 21 && field != nullptr && *field != '\0'; i++)
		field = strchr(field + 1, ' ');
	if (start != nullptr)
		*start = field != nullptr ? strtoull(field, nullptr, 10) : 0;
	return paren[2];
}

/* As proc_state, of one process: another that took its number is not it. */
char
proc_state_of(pid_t pid, unsigned long long &start, pid_t *ppid)
{
	unsigned long long now_start = 0;
	char st = proc_state(pid, ppid, &now_start);

	if (st != 0 && start == 0)
		start = now_start;
	return st != 0 && now_start == start ? st : '\0';
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

/*
 * Each time below is taken after what it stamps was seen, never before: a
 * test preempted in between on a loaded machine must not date an event
 * earlier than it happened.  t0 is where times count from.
 */
void
drain(int fd, std::string &into, double t0,
    std::vector<double> *line_at = nullptr)
{
	char buf[4096];
	ssize_t n;
	while (fd >= 0 && (n = read(fd, buf, sizeof(buf))) > 0) {
		double t = now() - t0;
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
	if (out == Out::Pipe || out == Out::Closed || out == Out::Stalled) {
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
	if (out == Out::Stalled) {
		EXPECT_EQ(fcntl(*out_w, F_SETPIPE_SZ, 4096), 4096);
		EXPECT_EQ(fcntl(*out_w, F_SETFL, O_NONBLOCK), 0);
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
	/* Lines the tests read are a line an event, whatever runs them. */
	(void)unsetenv("COLUMNS");
	for (const std::string &e : o.env)
		(void)putenv(const_cast<char *>(e.c_str()));
	if (o.fail_fork)
		refuse(no_fork());
	/* As in many containers. */
	if (o.no_perf)
		refuse({{SYS_perf_event_open, EPERM, false}});
	if (o.no_pidfd)
		refuse({{SYS_pidfd_open, EPERM, false}});
	if (o.no_timerfd)
		refuse({{SYS_timerfd_create, EPERM, false}});
	if (o.no_waitid)
		refuse({{SYS_waitid, EPERM, false}});
	execv(o.program, argv.data());
	_exit(127);
}

/* Collects one process if one has ended; false once none is left. */
bool
reap(Seen &r, double t0, bool *reaped)
{
	int status;
	pid_t w = waitpid(-1, &status, WNOHANG);
	double t = now() - t0;

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
look_at_grandchild(Seen &r, double t0)
{
	pid_t ppid = 0;

	if (r.grandchild == -1 && r.child > 0 && r.parent_exit_at >= 0)
		return;
	if (r.grandchild == -1 && r.child > 0)
		r.grandchild = find_child_of(r.child);
	if (r.grandchild <= 0 || r.grandchild_gone_at >= 0)
		return;
	char st = proc_state_of(r.grandchild, r.grandchild_start, &ppid);
	double t = now() - t0;
	if (st == 'Z' && r.grandchild_zombie_at < 0)
		r.grandchild_zombie_at = t;
	if (st == 0)
		r.grandchild_gone_at = t;
}

/* What ps would show of the child now. */
void
look(Seen &r, double t0)
{
	pid_t ppid = 0;

	if (r.parent_exit_at < 0 && r.child == -1)
		r.child = find_child_of(r.parent);
	else
		look_at_grandchild(r, t0);
	char st =
	    r.child > 0 ? proc_state_of(r.child, r.child_start, &ppid) : '\0';
	double t = now() - t0;
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

/* Whether pid has a handler for sig, as its status says. */
bool
catches(pid_t pid, int sig)
{
	std::ifstream in("/proc/" + std::to_string(pid) + "/status");
	std::string l;

	while (std::getline(in, l))
		if (l.rfind("SigCgt:", 0) == 0)
			return (std::stoull(l.substr(7), nullptr, 16) >>
				       (sig - 1) &
				   1) != 0;
	return false;
}

/* Sends o's signal when it is due, half a second between repeats. */
void
signal_if_due(
    const Options &o, Seen &r, double t, int *sent, double *last, int terminal)
{
	if (o.signal_at < 0 || *sent >= o.signal_times || t < o.signal_at ||
	    t < *last + 0.5 || r.child <= 0)
		return;
	if (o.signal_caught && !catches(r.child, o.typed ? SIGINT : o.signo))
		return;
	if ((o.signal_grandchild || o.signal_to_grandchild) &&
	    r.grandchild <= 0)
		return;
	if (o.typed)
		(void)!write(terminal, "\003", 1);
	else if (o.signal_to_grandchild)
		(void)kill(r.grandchild, o.signo);
	else
		(void)kill(o.signal_group ? -r.parent : r.parent, o.signo);
	if ((*sent)++ == 0)
		r.signalled_at = t;
	*last = t;
}

} // namespace

double
now()
{
	struct timespec ts;
	(void)clock_gettime(CLOCK_MONOTONIC, &ts);
	return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
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
	while (t < 80 && reap(r, t0, &reaped)) {
		/* Left unread while stalled, the output is read from then. */
		drain(o.out != Out::Stalled || t >= STALL ? out_r : -1, r.out,
		    t0, &r.out_line_at);
		drain(err_p[0], r.err, t0);
		if (!reaped) {
			look(r, t0);
			signal_if_due(o, r, t, &signals, &last_signal, out_r);
			(void)usleep(50000);
		}
		t = now() - t0;
	}
	look_at_grandchild(r, t0);
	/* Whatever outlived the deadline must not outlive the test. */
	(void)kill(-r.parent, SIGKILL);
	while (waitpid(-1, nullptr, 0) > 0)
		;
	if (out_r >= 0)
		(void)fcntl(out_r, F_SETFL, 0);
	drain(out_r, r.out, t0, &r.out_line_at);
	drain(err_p[0], r.err, t0);
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

Options
with(Out out, std::vector<std::string> args)
{
	Options o;
	o.out = out;
	o.args = std::move(args);
	return o;
}

/* When the first line of out that matches arrived; its captures in m. */
double
line(const Seen &r, const std::string &pattern, std::vector<std::string> *m)
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
watcher(std::vector<std::string> args)
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

/* The watcher on one of the tests' process families. */
Seen
family(const char *mode, bool no_perf)
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

Options
under_pid1(const char *mode, std::vector<std::string> args)
{
	args.insert(args.begin(), mode);
	Options o = with(Out::Pipe, std::move(args));
	o.program = PID1_PATH;
	return o;
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

ProgramCopy::ProgramCopy(const char *from, mode_t mode)
{
	char dir[] = "/tmp/zombie-copy-XXXXXX";
	if (mkdtemp(dir) == nullptr || chmod(dir, 0755) != 0)
		return;
	dir_ = dir;
	const char *slash = strrchr(from, '/');
	file_ = dir_ + "/" + (slash != nullptr ? slash + 1 : from);
	if (copy_program(from, file_) && chmod(file_.c_str(), mode) == 0)
		path_ = file_;
}

ProgramCopy::~ProgramCopy()
{
	if (dir_.empty())
		return;
	(void)unlink(file_.c_str());
	(void)rmdir(dir_.c_str());
}

std::string
run_python(const char *script, const std::string &text)
{
	char dir[] = "/tmp/zombie-py-XXXXXX";
	if (mkdtemp(dir) == nullptr) {
		ADD_FAILURE() << "mkdtemp: " << strerror(errno);
		return "";
	}
	std::string data = std::string(dir) + "/text";
	std::string code = std::string(dir) + "/read.py";
	std::ofstream(data, std::ios::binary) << text;
	std::ofstream(code) << script;
	/* The command is the harness's own, made of its own file names. */
	std::string cmd = "python3 " + code + " " + data + " 2>&1";
	FILE *p = popen(cmd.c_str(), "r"); // NOLINT(cert-env33-c)
	std::string out;
	char buf[4096];
	for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof(buf), p)) > 0;)
		out.append(buf, n);
	int status = p != nullptr ? pclose(p) : -1;
	EXPECT_EQ(status, 0) << out << "\nof:\n" << text;
	(void)unlink(data.c_str());
	(void)unlink(code.c_str());
	(void)rmdir(dir);
	return out;
}
