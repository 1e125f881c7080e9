// SPDX-License-Identifier: BSD-2-Clause
/*
 * zombie-watch's command line: getopt_long over the options, the checks
 * on which of them go together, the usage, and the program to run.
 */

#include "cmd/options.h"

#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string_view>

#include "cmd/serve.h"
#include "report/words.h"
#include "sys/proc.h"

namespace {

/* Told in two parts, the options and the statuses. */
const char *const usage_options =
    "usage: zombie-watch [-q] [--json] [-o FILE] [--check-reaper "
    "[--reaper-wait=SECONDS]]\n"
    "                    [--] [PROGRAM [ARG...]]\n"
    "       zombie-watch [-q] [--json] [-o FILE] "
    "--check-leaks[=SECONDS] [--] [PROGRAM...]\n"
    "       zombie-watch [-q] [--json] [-o FILE] --pid=PID\n"
    "       zombie-watch [--json] [-o FILE] --scan\n"
    "       zombie-watch --serve[=ADDRESS:PORT]\n"
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
    "  --check-leaks[=SECONDS]\n"
    "                         judge PROGRAM: each zombie of its tree "
    "must be collected\n"
    "                         within SECONDS of its end (default 1), "
    "and none left\n"
    "                         behind by a parent that ends\n"
    "  --pid=PID              follow a running process and its "
    "descendants; observe only\n"
    "  --scan                 list the zombies in this PID namespace "
    "now, "
    "and why they stay\n"
    "  --serve[=ADDRESS:PORT] serve this machine's zombies as metrics "
    "for Prometheus,\n"
    "                         at http://ADDRESS:PORT/metrics (default "
    "127.0.0.1:10345)\n"
    "  --json                 write the events as JSON Lines (schema "
    "in "
    "zombie-watch(1))\n"
    "  -o, --output=FILE      write the watcher's own output to FILE, "
    "apart from PROGRAM's\n"
    "  --svg=FILE             at the end, draw the timeline as an SVG "
    "picture in FILE\n"
    "  -q, --quiet            write only the summary, the verdicts and "
    "lost\n"
    "                         records\n"
    "  -h, --help             show this help; --version, the "
    "version\n\n";

const char *const usage_statuses =
    "Exit status: the program's own; 128+N if signal N killed it; "
    "126 PROGRAM cannot\nrun; 127 PROGRAM not found; 2 usage error; "
    "125 zombie-watch failed (also when\nits output failed).\n"
    "With --check-reaper the status is the check's: 0 every orphan was "
    "collected or\nreleased; 3 one was not; 4 nothing was checked, "
    "or one could not be followed;\n2 usage error; 125 failure; 126, "
    "127 as above.\n"
    "With --check-leaks the status is the check's: 0 none leaked; 3 "
    "one did;\n4 it could not tell (a process not followed, records "
    "refused or lost).\n"
    "With --scan: 0 no zombie; 3 there is one.  With --pid: 0, or 125 "
    "if it cannot\nfollow PID; the process's own status is told.  "
    "--serve runs until a signal\nends it, and ends by that signal.\n";

void
usage(FILE *to)
{
	(void)fputs(usage_options, to);
	(void)fputs(usage_statuses, to);
}

/* Tells what was wrong, and the usage; what the status is decided from. */
ExitFacts
usage_error(const char *what, const char *arg)
{
	ExitFacts f;

	(void)fprintf(
	    stderr, "zombie-watch: %s %s\n", what, visible(arg).c_str());
	usage(stderr);
	f.usage_error = true;
	return f;
}

/* Told what was asked, it has nothing to run. */
ExitFacts
told()
{
	ExitFacts f;

	f.mode = Mode::Help;
	return f;
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
	std::string path = exe_read().value_or("");

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

ExitFacts
unknown_option(const char *word)
{
	/* Within "-qx", getopt names the letter; the word would mislead. */
	char letter[3] = {'-', (char)optopt, '\0'};
	bool long_form = strncmp(word, "--", 2) == 0;

	if (long_form && strchr(word, '=') != nullptr)
		return usage_error(
		    "unknown option, or one that takes no value:", word);
	return usage_error("unknown option",
	    !long_form && optopt > 0 && optopt < 128 ? letter : word);
}

enum Long : int {
	OPT_CHECK = 256,
	OPT_LEAKS,
	OPT_WAIT,
	OPT_JSON,
	OPT_PID,
	OPT_SCAN,
	OPT_SERVE,
	OPT_SVG,
	OPT_VERSION,
};

/* The server takes no other option: it has no output but its answers. */
std::optional<ExitFacts>
serve_check(const Options &o, bool program)
{
	const char *other = o.check    ? "--check-reaper"
			    : o.leaks  ? "--check-leaks"
			    : o.follow ? "--pid"
			    : o.scan   ? "--scan"
			    : o.json   ? "--json"
			    : o.output ? "--output"
			    : o.svg    ? "--svg"
			    : o.quiet  ? "--quiet"
			    : program  ? "a PROGRAM"
				       : nullptr;
	if (other != nullptr)
		return usage_error("--serve does not go with", other);
	return std::nullopt;
}

/* The modes that run no program of their own take none. */
std::optional<ExitFacts>
options_check(const Options &o, bool waits, bool program)
{
	if (o.serve)
		return serve_check(o, program);
	if (waits && !o.check)
		return usage_error("--reaper-wait needs", "--check-reaper");
	if (o.leaks && (o.check || o.follow || o.scan))
		return usage_error(
		    "--check-leaks does not go with", o.check ? "--check-reaper"
						      : o.follow ? "--pid"
								 : "--scan");
	if (o.follow && o.scan)
		return usage_error("--pid does not go with", "--scan");
	if (o.svg && o.scan)
		return usage_error("--svg does not go with", "--scan");
	if ((o.follow || o.scan) && o.check)
		return usage_error(o.scan ? "--scan" : "--pid",
		    "does not go with --check-reaper");
	if ((o.follow || o.scan) && program)
		return usage_error(
		    o.scan ? "--scan" : "--pid", "runs no PROGRAM");
	return std::nullopt;
}

/*
 * One option getopt_long found; waits, whether --reaper-wait was given.
 * If it says to end at once, what the status is decided from.
 */
std::optional<ExitFacts>
one_option(int c, char *argv[], Options &o, bool &waits)
{
	std::optional<Nanos> w;
	const char *where = nullptr;

	switch (c) {
	case 'h':
		usage(stdout);
		return told();
	case OPT_VERSION:
		(void)printf("zombie-watch %s\n", ZOMBIE_VERSION);
		return told();
	case OPT_CHECK:
		o.check = true;
		break;
	case OPT_LEAKS:
		o.leaks = 1'000'000'000;
		if (optarg != nullptr && !(o.leaks = seconds(optarg)))
			return usage_error("not a number of seconds:", optarg);
		break;
	case OPT_WAIT:
		if (!(w = seconds(optarg)))
			return usage_error("not a number of seconds:", optarg);
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
			return usage_error("not a process number:", optarg);
		break;
	case OPT_SCAN:
		o.scan = true;
		break;
	case OPT_SERVE:
		where = optarg != nullptr ? optarg : SERVE_DEFAULT;
		if (!(o.serve = parse_listen(where)))
			return usage_error(
			    "not an ADDRESS:PORT to listen on:", where);
		break;
	case OPT_SVG:
		o.svg = optarg;
		break;
	case ':':
		return usage_error("option needs a value:", argv[optind - 1]);
	default:
		return unknown_option(argv[optind - 1]);
	}
	return std::nullopt;
}

} // namespace

/*
 * Options end at the first word that is not one, so that the program's
 * own are left to it.
 */
std::optional<ExitFacts>
options(int argc, char *argv[], Options &o)
{
	static const struct option longs[] = {
	    {"check-reaper", no_argument, nullptr, OPT_CHECK},
	    {"check-leaks", optional_argument, nullptr, OPT_LEAKS},
	    {"reaper-wait", required_argument, nullptr, OPT_WAIT},
	    {"json", no_argument, nullptr, OPT_JSON},
	    {"output", required_argument, nullptr, 'o'},
	    {"quiet", no_argument, nullptr, 'q'},
	    {"pid", required_argument, nullptr, OPT_PID},
	    {"scan", no_argument, nullptr, OPT_SCAN},
	    {"serve", optional_argument, nullptr, OPT_SERVE},
	    {"svg", required_argument, nullptr, OPT_SVG},
	    {"help", no_argument, nullptr, 'h'},
	    {"version", no_argument, nullptr, OPT_VERSION},
	    {nullptr, 0, nullptr, 0},
	};
	bool waits = false;
	int c;

	opterr = 0;
	while ((c = getopt_long(argc, argv, "+:ho:q", longs, nullptr)) != -1)
		if (std::optional<ExitFacts> end =
			one_option(c, argv, o, waits))
			return end;
	if (std::optional<ExitFacts> end =
		options_check(o, waits, optind < argc))
		return end;
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
	return std::nullopt;
}

Mode
mode_of(const Options &o)
{
	if (o.serve)
		return Mode::Serve;
	if (o.scan)
		return Mode::Scan;
	if (o.follow)
		return Mode::Follow;
	if (o.leaks)
		return Mode::Leaks;
	return o.check ? Mode::Check : Mode::Run;
}
