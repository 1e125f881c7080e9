// SPDX-License-Identifier: BSD-2-Clause
/*
 * Fetching /proc's files; proc_parse.cpp makes facts of their text.
 */

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "sys/proc.h"

namespace {

std::string
path_of(pid_t pid, std::string_view file = {})
{
	std::string path = "/proc/" + std::to_string(pid);

	if (!file.empty())
		path.append("/").append(file);
	return path;
}

Fd
file_open(pid_t pid, std::string_view file)
{
	return Fd(open(path_of(pid, file).c_str(), O_RDONLY | O_CLOEXEC));
}

std::optional<std::string>
file_read(pid_t pid, std::string_view file)
{
	return text_read(file_open(pid, file));
}

/* Its tasks, in the order the folder lists them. */
std::vector<pid_t>
tasks_list(pid_t pid)
{
	std::vector<pid_t> tids;
	std::optional<Dir> dir = Dir::open(path_of(pid, "task").c_str());

	if (!dir)
		return tids;
	for (std::optional<std::string_view> name; (name = dir->next());)
		if (std::optional<pid_t> tid = pid_name(*name))
			tids.push_back(*tid);
	return tids;
}

std::optional<std::string>
link_read(const char *path)
{
	char to[PATH_MAX];
	ssize_t n = readlink(path, to, sizeof(to));

	if (n <= 0)
		return std::nullopt;
	return std::string(to, (size_t)n);
}

} // namespace

/*
 * /proc files are made afresh at each read from 0.  A read shorter than
 * asked for was all of it, which spares a second call.
 */
std::optional<std::string>
text_read(const Fd &fd)
{
	char buf[4096];
	std::string text;
	off_t at = 0;

	if (!fd)
		return std::nullopt;
	for (;;) {
		ssize_t n = pread(fd.get(), buf, sizeof(buf), at);
		if (n == -1 && errno == EINTR)
			continue;
		if (n == -1)
			return std::nullopt;
		text.append(buf, (size_t)n);
		at += n;
		if ((size_t)n < sizeof(buf))
			return text;
	}
}

Fd
stat_open(pid_t pid)
{
	return file_open(pid, "stat");
}

std::optional<Stat>
stat_read(const Fd &stat)
{
	std::optional<std::string> line = text_read(stat);
	return line ? stat_parse(*line) : std::nullopt;
}

std::optional<Stat>
stat_read(pid_t pid)
{
	return stat_read(stat_open(pid));
}

Fd
ran_open(pid_t pid)
{
	return file_open(pid, "schedstat");
}

std::optional<long long>
ran_read(const Fd &schedstat)
{
	std::optional<std::string> text = text_read(schedstat);
	return text ? schedstat_parse(*text) : std::nullopt;
}

std::optional<Status>
status_read(pid_t pid)
{
	std::optional<std::string> text = file_read(pid, "status");
	if (!text)
		return std::nullopt;
	return status_parse(*text);
}

bool
ignores_sigchld(pid_t pid)
{
	std::optional<Status> st = status_read(pid);
	return st && has_signal(st->ignored, SIGCHLD);
}

std::string
comm_read(pid_t pid)
{
	std::optional<std::string> text = file_read(pid, "comm");
	return text ? comm_parse(*text) : std::string();
}

std::string
cgroup_read(pid_t pid)
{
	std::optional<std::string> text = file_read(pid, "cgroup");
	return text ? cgroup_parse(*text) : std::string();
}

std::optional<std::vector<std::string>>
cmdline_read(pid_t pid)
{
	std::optional<std::string> text = file_read(pid, "cmdline");
	if (!text)
		return std::nullopt;
	return cmdline_parse(*text);
}

std::vector<pid_t>
task_children_read(pid_t pid, pid_t tid)
{
	std::optional<std::string> text =
	    file_read(pid, "task/" + std::to_string(tid) + "/children");
	return text ? pids_parse(*text) : std::vector<pid_t>();
}

/* Each thread lists the children it created itself. */
std::vector<pid_t>
children_read(pid_t pid)
{
	std::vector<pid_t> kids;

	for (pid_t tid : tasks_list(pid)) {
		std::vector<pid_t> some = task_children_read(pid, tid);
		kids.insert(kids.end(), some.begin(), some.end());
	}
	return kids;
}

std::vector<pid_t>
threads_read(pid_t pid)
{
	std::vector<pid_t> tids = tasks_list(pid);

	std::sort(tids.begin(), tids.end(), [pid](pid_t a, pid_t b) {
		return (a == pid) != (b == pid) ? a == pid : a < b;
	});
	return tids;
}

std::optional<std::vector<pid_t>>
pids_read()
{
	std::vector<pid_t> pids;
	std::optional<Dir> dir = Dir::open("/proc");

	if (!dir)
		return std::nullopt;
	for (std::optional<std::string_view> name; (name = dir->next());)
		if (std::optional<pid_t> pid = pid_name(*name))
			pids.push_back(*pid);
	return pids;
}

std::optional<pid_t>
self_read()
{
	std::optional<std::string> self = link_read("/proc/self");
	return self ? pid_name(*self) : std::nullopt;
}

std::optional<std::string>
exe_read()
{
	return link_read("/proc/self/exe");
}

std::optional<uid_t>
owner_read(pid_t pid)
{
	struct stat st;

	if (stat(path_of(pid).c_str(), &st) == -1)
		return std::nullopt;
	return st.st_uid;
}

namespace {

bool
in_group(gid_t gid)
{
	gid_t groups[256];
	int n = getgroups(256, groups);

	return getegid() == gid || std::find(groups, groups + std::max(n, 0),
				       gid) != groups + std::max(n, 0);
}

} // namespace

std::optional<std::string>
hidden_read()
{
	Fd f(open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
	std::optional<std::string> text = text_read(f);
	std::optional<ProcMount> m =
	    text ? mountinfo_parse(*text) : std::nullopt;

	if (!m || !m->hidepid || geteuid() == 0 ||
	    (m->gid && in_group(*m->gid)))
		return std::nullopt;
	return m->hidepid;
}
