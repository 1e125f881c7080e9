// SPDX-License-Identifier: BSD-2-Clause
/*
 * The one reader of /proc.  Each file's text becomes facts in a function
 * of the text alone, so that a test can hand it any line the kernel may
 * write; the reading functions only fetch the text.  Processes end while
 * they are read: a file that cannot be read is nothing, not an error.
 */
#ifndef ZOMBIE_SYS_PROC_H
#define ZOMBIE_SYS_PROC_H

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/record.h"
#include "sys/fd.h"

/* What a status file says, of what the watcher uses. */
struct Status {
	int threads = 0;
	pid_t tgid = 0;   /* its process, which a thread's number is not */
	pid_t tracer = 0; /* TracerPid: 0 where it is not traced */
	/* NSpid: its number in this namespace first, in its own last. */
	std::vector<pid_t> nspid;
	/* SigBlk (its main thread's), SigIgn, SigCgt: bit N-1 is signal N. */
	std::uint64_t blocked = 0, ignored = 0, caught = 0;
};

/* Signal sig is in a mask of the status file. */
constexpr bool
has_signal(std::uint64_t mask, int sig)
{
	return sig > 0 && sig <= 64 && ((mask >> (sig - 1)) & 1) != 0;
}

/* The text of each file, as the kernel writes it, to facts. */

/* /proc/PID/stat; nothing without a command in parentheses and a state. */
std::optional<Stat> stat_parse(std::string_view line);
/* /proc/PID/status; a line it lacks leaves its field as it was. */
Status status_parse(std::string_view text);
/* /proc/PID/schedstat: the nanoseconds it has run and waited to run. */
std::optional<long long> schedstat_parse(std::string_view text);
/* Numbers apart by spaces, as /proc/PID/task/TID/children has them. */
std::vector<pid_t> pids_parse(std::string_view text);
/* /proc/PID/comm: all but the newline that ends it. */
std::string comm_parse(std::string_view text);
/* The unified hierarchy's path, from the "0::" line of a cgroup file. */
std::string cgroup_parse(std::string_view text);
/* /proc/PID/cmdline: its arguments, each ended by a NUL. */
std::vector<std::string> cmdline_parse(std::string_view text);
/* A name of /proc or of a task folder that is a process number. */
std::optional<pid_t> pid_name(std::string_view name);

/* How /proc is mounted, of what decides which processes it shows. */
struct ProcMount {
	/* Its hidepid option as written ("hidepid=2", "hidepid=invisible");
	 * none where every process is shown. */
	std::optional<std::string> hidepid;
	std::optional<gid_t> gid; /* a group that sees every process */
};
/* /proc/self/mountinfo: the procfs mounted on /proc, if there is one. */
std::optional<ProcMount> mountinfo_parse(std::string_view text);

/* Reading. */

/* A whole file, read from its start however often it is read. */
std::optional<std::string> text_read(const Fd &fd);

/* Its stat file, opened once and read again with each stat_read. */
Fd stat_open(pid_t pid);
std::optional<Stat> stat_read(const Fd &stat);
/* Opened and read at once. */
std::optional<Stat> stat_read(pid_t pid);
/* Its schedstat, and the nanoseconds it has run or waited to run. */
Fd ran_open(pid_t pid);
std::optional<long long> ran_read(const Fd &schedstat);
std::optional<Status> status_read(pid_t pid);
/* From its status: SIGCHLD is ignored. */
bool ignores_sigchld(pid_t pid);
/* Its command, as /proc has it, or empty. */
std::string comm_read(pid_t pid);
/* Its cgroup v2 path, as "/system.slice/cron.service"; empty if none. */
std::string cgroup_read(pid_t pid);
std::optional<std::vector<std::string>> cmdline_read(pid_t pid);
/* The children its threads created that still have it as their parent. */
std::vector<pid_t> children_read(pid_t pid);
/* Those one of its threads created. */
std::vector<pid_t> task_children_read(pid_t pid, pid_t tid);
/* The tasks (threads) of a process, its own first if it still runs. */
std::vector<pid_t> threads_read(pid_t pid);
/* Every process /proc shows, unordered; nothing, errno set, if none. */
std::optional<std::vector<pid_t>> pids_read();
/* The number /proc gives this process: another namespace's, if not ours. */
std::optional<pid_t> self_read();
/* The path of the program this process runs. */
std::optional<std::string> exe_read();
/* The user /proc/PID belongs to: its effective one, if it may be dumped. */
std::optional<uid_t> owner_read(pid_t pid);
/*
 * Why this process cannot see other users' processes in /proc: the mount
 * option that hides them ("hidepid=2"); nothing where it sees them all,
 * as root or as a member of the mount's exempt group does.
 */
std::optional<std::string> hidden_read();

#endif
