// SPDX-License-Identifier: BSD-2-Clause
/*
 * The event log as JSON Lines, from logs made by hand, read back by a real
 * JSON parser: what a tool gets is what the log knew, whatever bytes a
 * command name holds.
 */

#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/log.h"
#include "core/verdict.h"
#include "log_events.h"
#include "report/jsonl.h"

namespace {

Event
forked(Nanos t, ProcId proc, ProcId by, ProcId parent)
{
	Event e = at(t, What::Created, proc, parent);
	e.by = by;
	return e;
}

/*
 * Every line the log renders to, the summary, verdicts and end included;
 * signo, the signal that ended the watch, or 0.
 */
std::string
render_all(const Log &log, std::optional<int> program_status, int signo = 0)
{
	std::string out;
	for (size_t i = 0; i < log.events().size(); i++)
		out += json_event(log, i, "r1");
	std::vector<Verdict> v = judge(log, 2 * sec);
	int status = signo != 0 ? 128 + signo : status_of_check(v);
	return out + json_summary(log, "r1") + json_verdicts(log, v, "r1") +
	       json_end("r1", status, program_status,
		   signo != 0 ? EndReason::Signal : EndReason::Done, signo);
}

/*
 * Each expression evaluated by Python over L, the lines parsed one object
 * each as strict UTF-8 JSON, one result a line; T(type) is the objects of
 * that type.  Fails the test if any line is not one valid object.
 */
std::vector<std::string>
py(const std::string &lines, const std::vector<std::string> &exprs)
{
	char dir[] = "/tmp/jsonl-XXXXXX";
	EXPECT_NE(mkdtemp(dir), nullptr);
	std::string data = std::string(dir) + "/lines";
	std::string script = std::string(dir) + "/read.py";
	FILE *f = fopen(data.c_str(), "w");
	(void)fwrite(lines.data(), 1, lines.size(), f);
	(void)fclose(f);
	f = fopen(script.c_str(), "w");
	(void)fputs("import json, sys\n"
		    "L = [json.loads(l) for l in open(sys.argv[1], "
		    "encoding='utf-8')]\n"
		    "def T(t): return [o for o in L if o['type'] == t]\n",
	    f);
	for (const std::string &e : exprs)
		(void)fprintf(f, "R = %s\nprint(R)\n", e.c_str());
	(void)fclose(f);
	std::string cmd = "python3 " + script + " " + data + " 2>&1";
	/* The command is the test's own, made of its own file names. */
	FILE *p = popen(cmd.c_str(), "r"); // NOLINT(cert-env33-c)
	std::string out;
	char buf[4096];
	for (size_t n; (n = fread(buf, 1, sizeof(buf), p)) > 0;)
		out.append(buf, n);
	EXPECT_EQ(pclose(p), 0) << out;
	(void)unlink(data.c_str());
	(void)unlink(script.c_str());
	(void)rmdir(dir);
	std::vector<std::string> results;
	for (size_t i = 0, j; i < out.size(); i = j + 1) {
		j = out.find('\n', i);
		results.push_back(out.substr(i, j - i));
	}
	results.resize(exprs.size());
	return results;
}

/* Each expression's result as Python prints it, from one parse. */
void
read_back(const std::string &lines,
    const std::vector<std::pair<std::string, std::string>> &checks)
{
	std::vector<std::string> exprs;
	exprs.reserve(checks.size());
	for (const auto &c : checks)
		exprs.push_back(c.first);
	std::vector<std::string> got = py(lines, exprs);
	for (size_t k = 0; k < checks.size(); k++)
		EXPECT_EQ(got[k], checks[k].second) << checks[k].first;
}

} // namespace

TEST(JsonLines, EveryToldEventIsOneObjectWithWhatTheLogKnew)
{
	Log log;
	ProcId watcher = log.add_process(7821, Role::Watcher);
	ProcId program = log.add_process(7822, Role::Program, "./zombie");
	ProcId c1 = log.add_process(7826, Role::Child);
	ProcId c2 = log.add_process(7827, Role::Child);
	/* A command name is whatever bytes its program was named. */
	ProcId init = log.add_process(1, Role::Outsider, "in\"it\\\n\xff");

	log.append(at(0, What::Started, program, watcher));
	log.append(forked(2 * ms, c1, program, program));
	log.append(forked(3 * ms, c2, c1, program)); /* CLONE_PARENT */
	Event sample = at(sec, What::Sample, c1);
	sample.state = 'S';
	log.append(sample);
	Event look = at(5 * sec, What::States, program);
	look.snapshot = log.add_snapshot(
	    {{{program, 7821, 'S', false, 1}, {c2, 7822, 'R', false, 3}}, 0});
	log.append(look);
	Event main = at(6 * sec, What::MainExited, c2);
	main.count = 2;
	log.append(main);
	log.append(ended(30008 * ms, c1, program, 0));
	Event sig = at(40 * sec, What::Signalled, 0);
	sig.signo = sig.sent = SIGTERM;
	sig.count = 3;
	log.append(sig);
	log.append(ended(40001 * ms, program, watcher, SIGTERM));
	log.append(collected(40001 * ms, program, watcher, How::Wait));
	log.append(orphaned(40002 * ms, c1, init, 'Z'));
	log.append(orphaned(40002 * ms, c2, init, 0));
	Event reap = collected(40500 * ms, c1, init, How::Wait);
	reap.guess = Guess::NoFaults;
	reap.late = true;
	log.append(reap);
	log.append(at(41 * sec, What::Unfollowed, c2));
	std::string out = render_all(log, SIGTERM, SIGINT);

	/* The first line says the schema, and keys come in a fixed order. */
	EXPECT_EQ(out.substr(0, out.find(",\"comm\"")),
	    R"({"type":"started","run":"r1","schema":1,"t":0.000,"pid":7822)"
	    R"(,"role":"program")");
	read_back(out,
	    {
		/* The timeline's samples are the watcher's own business. */
		{"' '.join(o['type'] for o in L)",
		    "started created created states main_exited ended "
		    "signalled ended collected orphaned orphaned collected "
		    "unfollowed summary verdict verdict end"},
		{"{o['run'] for o in L}, [o.get('schema') for o in L].count(1)",
		    "({'r1'}, 2)"},
		{"ascii(T('orphaned')[0]['to'])",
		    R"({'pid': 1, 'role': 'outsider', 'comm': 'in"it\\\n\xff'})"},
		{"[(o['by']['pid'], o['parent']['pid']) for o in T('created')]",
		    "[(7822, 7822), (7826, 7822)]"},
		{"[(o['t'], o['role'], o['status']) for o in T('ended')]",
		    "[(30.008, 'child', {'exited': 0}), (40.001, 'program', "
		    "{'signal': 15, 'name': 'SIGTERM', 'core': False})]"},
		/* The status from the end, when only that knew it. */
		{"[(o['pid'], o['by']['pid'], o['status'], o['inferred'], "
		 "o['at_most']) for o in T('collected')]",
		    "[(7822, 7821, {'signal': 15, 'name': 'SIGTERM', 'core': "
		    "False}, None, False), (7826, 1, {'exited': 0}, "
		    "'no_faults', True)]"},
		{"[(o['pid'], o['state']) for o in T('orphaned')]",
		    "[(7826, 'Z'), (7827, None)]"},
		{"T('states')[0]['processes'][1]",
		    "{'pid': 7827, 'role': 'child', 'ppid': 7822, "
		    "'state': 'R', 'main_exited': False, 'threads': 3}"},
		{"[(o['pid'], o['outcome'], o['delay'], o['since'], "
		 "o['at_most'], o['inferred']) for o in T('verdict')]",
		    "[(7826, 'collected', 0.498, 'handover', True, "
		    "'no_faults'), (7827, 'unfollowed', None, 'end', False, "
		    "None)]"},
		/* Why the watcher ended, and the signal that ended it. */
		{"[T('end')[0][k] for k in ('status', 'reason', 'signal')], "
		 "T('end')[0]['program']['name']",
		    "([130, 'signal', 'SIGINT'], 'SIGTERM')"},
	    });
}

TEST(JsonLines, SummaryGivesEachZombieSpanAndTheReleased)
{
	Log log;
	ProcId watcher = log.add_process(7821, Role::Watcher);
	ProcId program = log.add_process(7822, Role::Program, "zombie");
	ProcId init = log.add_process(1, Role::Outsider, "init");
	std::vector<ProcId> c;
	for (pid_t pid = 7826; pid <= 7829; pid++) {
		c.push_back(log.add_process(pid, Role::Child));
		log.append(forked(0, c.back(), program, program));
	}
	Event main = at(sec, What::MainExited, c[3]);
	main.count = 1;
	log.append(main);
	log.append(ended(2 * sec, c[0], program, 0));
	log.append(ended(2 * sec, c[1], program, 0));
	log.append(collected(2 * sec, c[1], std::nullopt, How::Released));
	log.append(ended(3 * sec, c[2], program, 0));
	log.append(collected(4 * sec, c[0], program, How::Wait));
	log.append(ended(5 * sec, program, watcher, 0));
	log.append(collected(5 * sec, program, watcher, How::Wait));
	log.append(orphaned(5 * sec, c[2], init, 'Z'));
	log.append(orphaned(5 * sec, c[3], init, 'S'));
	/* A zombie already when the watch began: since when is not known. */
	c.push_back(log.add_process(7830, Role::Child));
	Event old = ended(0, c[4], program, 0);
	old.before = true;
	log.append(old);
	log.append(collected(1 * sec, c[4], program, How::Wait));
	std::string out = render_all(log, std::nullopt);

	read_back(out,
	    {
		{"[T('summary')[0][k] for k in ('processes', 'children', "
		 "'released')]",
		    "[6, 5, [7827]]"},
		/* Still a zombie, threads still running: no end yet. */
		{"T('summary')[0]['zombies']",
		    "[{'pid': 7826, 'from': 2.0, 'to': 4.0, 'for': 2.0, "
		    "'at_most': False, 'before_watch': False}, {'pid': 7828, "
		    "'from': 3.0, 'to': None, 'for': None, 'at_most': False, "
		    "'before_watch': False}, {'pid': 7830, 'from': None, 'to': "
		    "1.0, 'for': 1.0, 'at_most': False, 'before_watch': "
		    "True}]"},
		{"T('summary')[0]['main_exited']",
		    "[{'pid': 7829, 'from': 1.0, 'to': None, 'for': None, "
		    "'at_most': False, 'before_watch': False}]"},
		{"[(o['pid'], o['outcome'], o['reaper']['comm'], o['delay']) "
		 "for o in T('verdict')]",
		    "[(7828, 'not_collected', 'init', 2.0), (7829, 'running', "
		    "'init', None)]"},
		{"T('end')",
		    "[{'type': 'end', 'run': 'r1', 'schema': 1, 'status': 3, "
		    "'program': None, 'reason': 'done', 'signal': None}]"},
	    });
}
