// SPDX-License-Identifier: BSD-2-Clause
/*
 * The text of /proc's files to facts, with no system call: what the
 * kernel writes is handed in, so that a test can write it instead.
 */

#include <algorithm>
#include <charconv>

#include "sys/proc.h"

namespace {

constexpr std::string_view blanks = " \t\n";

/* The next word of rest, which it leaves after it; nothing at the end. */
std::optional<std::string_view>
word(std::string_view &rest)
{
	size_t from = rest.find_first_not_of(blanks);
	if (from == std::string_view::npos) {
		rest = {};
		return std::nullopt;
	}
	rest.remove_prefix(from);
	size_t len = std::min(rest.find_first_of(blanks), rest.size());
	std::string_view w = rest.substr(0, len);
	rest.remove_prefix(len);
	return w;
}

/*
 * A whole word as a number.  Digits beyond what T holds are still a
 * number the kernel wrote, only not one the watcher reads: stat's rsslim
 * is 2^64 - 1 where there is no limit.
 */
template <class T>
std::optional<T>
number(std::string_view w, int base = 10)
{
	T v{};
	const char *end = w.data() + w.size();
	auto [at, err] = std::from_chars(w.data(), end, v, base);

	if (at != end || at == w.data())
		return std::nullopt;
	return err == std::errc() ? v : T{};
}

/* The first word of rest as a number. */
template <class T>
std::optional<T>
first_number(std::string_view rest, int base = 10)
{
	std::optional<std::string_view> w = word(rest);
	return w ? number<T>(*w, base) : std::nullopt;
}

/* The kernel's flag of a task in do_exit, as proc(5) gives its value. */
constexpr long long PF_EXITING = 0x4;

/* Fields of proc(5) from 4 on; false once one is not a number. */
bool
stat_field(Stat &s, int field, std::string_view w)
{
	std::optional<long long> v = number<long long>(w);
	if (!v)
		return false;
	switch (field) {
	case 4:
		s.ppid = (pid_t)*v;
		break;
	case 9:
		s.exiting = (*v & PF_EXITING) != 0;
		break;
	case 10:
		s.minflt = *v;
		break;
	case 11:
		s.cminflt = *v;
		break;
	case 20:
		s.threads = (int)*v;
		break;
	case 22:
		s.start_ticks = *v;
		break;
	case 38:
		s.exit_signal = (int)*v;
		break;
	case 52:
		s.exit_code = (int)*v;
		break;
	default:
		break;
	}
	return true;
}

template <class T>
void
set(T &field, std::optional<T> v)
{
	if (v)
		field = *v;
}

void
status_field(Status &st, std::string_view key, std::string_view value)
{
	if (key == "Threads")
		set(st.threads, first_number<int>(value));
	else if (key == "Tgid")
		set(st.tgid, first_number<pid_t>(value));
	else if (key == "TracerPid")
		set(st.tracer, first_number<pid_t>(value));
	else if (key == "SigBlk")
		set(st.blocked, first_number<std::uint64_t>(value, 16));
	else if (key == "SigIgn")
		set(st.ignored, first_number<std::uint64_t>(value, 16));
	else if (key == "SigCgt")
		set(st.caught, first_number<std::uint64_t>(value, 16));
	else if (key == "NSpid")
		st.nspid = pids_parse(value);
}

} // namespace

/*
 * The command may hold anything, ") " and newlines included, so the fields
 * after it start after the last ")"; the state, field 3, comes first.
 */
std::optional<Stat>
stat_parse(std::string_view line)
{
	size_t open = line.find('('), close = line.rfind(')');
	if (open == std::string_view::npos || close == std::string_view::npos ||
	    close < open || close + 2 >= line.size() || line[close + 1] != ' ')
		return std::nullopt;
	Stat s;
	s.pid = first_number<pid_t>(line.substr(0, open)).value_or(0);
	s.comm = std::string(line.substr(open + 1, close - open - 1));
	s.state = line[close + 2];
	std::string_view rest = line.substr(close + 3);
	for (int field = 4; field <= 52; field++) {
		std::optional<std::string_view> w = word(rest);
		if (!w || !stat_field(s, field, *w))
			break;
	}
	return s;
}

Status
status_parse(std::string_view text)
{
	Status st;

	while (!text.empty()) {
		size_t nl = std::min(text.find('\n'), text.size());
		std::string_view line = text.substr(0, nl);
		size_t colon = line.find(':');
		if (colon != std::string_view::npos)
			status_field(
			    st, line.substr(0, colon), line.substr(colon + 1));
		text.remove_prefix(std::min(nl + 1, text.size()));
	}
	return st;
}

std::optional<long long>
schedstat_parse(std::string_view text)
{
	std::optional<std::string_view> ran = word(text), waited = word(text);
	std::optional<long long> cpu =
	    ran ? number<long long>(*ran) : std::nullopt;
	if (!cpu)
		return std::nullopt;
	return *cpu + (waited ? number<long long>(*waited).value_or(0) : 0);
}

std::vector<pid_t>
pids_parse(std::string_view text)
{
	std::vector<pid_t> pids;

	for (std::optional<std::string_view> w; (w = word(text));) {
		std::optional<pid_t> pid = number<pid_t>(*w);
		if (!pid)
			break;
		pids.push_back(*pid);
	}
	return pids;
}

/* The name may hold newlines of its own: only the kernel's last is cut. */
std::string
comm_parse(std::string_view text)
{
	if (!text.empty() && text.back() == '\n')
		text.remove_suffix(1);
	return std::string(text);
}

std::string
cgroup_parse(std::string_view text)
{
	for (size_t at = 0; at < text.size();) {
		size_t eol = std::min(text.find('\n', at), text.size());
		std::string_view line = text.substr(at, eol - at);
		if (line.substr(0, 3) == "0::")
			return std::string(line.substr(3));
		at = eol + 1;
	}
	return std::string();
}

std::vector<std::string>
cmdline_parse(std::string_view text)
{
	std::vector<std::string> args;

	while (!text.empty()) {
		size_t nul = std::min(text.find('\0'), text.size());
		args.emplace_back(text.substr(0, nul));
		text.remove_prefix(std::min(nul + 1, text.size()));
	}
	return args;
}

std::optional<pid_t>
pid_name(std::string_view name)
{
	if (name.empty() ||
	    name.find_first_not_of("0123456789") != std::string_view::npos)
		return std::nullopt;
	std::optional<pid_t> pid = number<pid_t>(name);
	if (!pid || *pid <= 0)
		return std::nullopt;
	return pid;
}

namespace {

/* One comma-separated option of a mount's list, by its name. */
std::optional<std::string_view>
option(std::string_view options, std::string_view name)
{
	while (!options.empty()) {
		size_t comma = std::min(options.find(','), options.size());
		std::string_view o = options.substr(0, comma);
		if (o.substr(0, o.find('=')) == name)
			return o;
		options.remove_prefix(std::min(comma + 1, options.size()));
	}
	return std::nullopt;
}

/* The procfs on /proc, from one mountinfo line, if it is that. */
std::optional<ProcMount>
proc_line(std::string_view line)
{
	/* ID PARENT MAJ:MIN ROOT POINT OPTIONS [TAGS...] - TYPE SOURCE SUPER */
	std::optional<std::string_view> w;
	for (int i = 0; i < 5; i++)
		w = word(line);
	if (!w || *w != "/proc")
		return std::nullopt;
	size_t dash = line.find(" - ");
	if (dash == std::string_view::npos)
		return std::nullopt;
	line.remove_prefix(dash + 3);
	std::optional<std::string_view> type = word(line);
	(void)word(line);
	std::optional<std::string_view> super = word(line);
	if (!type || *type != "proc" || !super)
		return std::nullopt;
	ProcMount m;
	std::optional<std::string_view> hide = option(*super, "hidepid");
	if (hide && *hide != "hidepid=0" && *hide != "hidepid=off")
		m.hidepid = std::string(*hide);
	if (std::optional<std::string_view> gid = option(*super, "gid"))
		m.gid = number<gid_t>(gid->substr(4));
	return m;
}

} // namespace

std::optional<ProcMount>
mountinfo_parse(std::string_view text)
{
	std::optional<ProcMount> found;

	/* The last mount on /proc is the one seen there. */
	while (!text.empty()) {
		size_t nl = std::min(text.find('\n'), text.size());
		if (std::optional<ProcMount> m = proc_line(text.substr(0, nl)))
			found = m;
		text.remove_prefix(std::min(nl + 1, text.size()));
	}
	return found;
}
