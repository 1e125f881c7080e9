// SPDX-License-Identifier: BSD-2-Clause
/*
 * The timeline as a picture, as a teacher puts it on a slide: a document
 * that a real XML parser reads, whatever the processes' names hold, that
 * names every process, and that a real browser draws.
 */

#include "harness.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace {

/* The PIDs its text names, the hostile name, and the colours drawn. */
const char *reader = R"(
import os, re, shutil, subprocess, sys, tempfile, zlib
import xml.etree.ElementTree as ET

path = sys.argv[1]
root = ET.parse(path).getroot()
texts = ' '.join(t.text or '' for t in
                 root.iter('{http://www.w3.org/2000/svg}text'))
print('pids', ' '.join(sorted(set(re.findall(r'(?:parent|child) (\d+)',
                                             texts)))))
print('names', texts.count('a<b&c\\x01'))
browser = shutil.which('chromium')
if not browser:
    print('colours none')
    sys.exit(0)
d = tempfile.mkdtemp()
svg, png = os.path.join(d, 't.svg'), os.path.join(d, 't.png')
shutil.copy(path, svg)
subprocess.run([browser, '--headless', '--no-sandbox', '--disable-gpu',
                '--screenshot=' + png, '--window-size=960,300',
                'file://' + svg], capture_output=True, timeout=120)
data = open(png, 'rb').read()
shutil.rmtree(d)
i, idat = 8, b''
while i < len(data):
    n = int.from_bytes(data[i:i + 4], 'big')
    kind, body = data[i + 4:i + 8], data[i + 8:i + 8 + n]
    if kind == b'IHDR':
        w, h = int.from_bytes(body[:4], 'big'), int.from_bytes(body[4:8], 'big')
        bpp = 4 if body[9] == 6 else 3
    elif kind == b'IDAT':
        idat += body
    i += 12 + n
raw, stride = zlib.decompress(idat), w * bpp
prev, rows, i = bytearray(stride), [], 0
for y in range(h):
    f, line = raw[i], bytearray(raw[i + 1:i + 1 + stride])
    i += 1 + stride
    for x in range(stride):
        a = line[x - bpp] if x >= bpp else 0
        b, c = prev[x], prev[x - bpp] if x >= bpp else 0
        if f == 1: line[x] = (line[x] + a) & 255
        elif f == 2: line[x] = (line[x] + b) & 255
        elif f == 3: line[x] = (line[x] + (a + b) // 2) & 255
        elif f == 4:
            p = a + b - c
            pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            line[x] = (line[x] + (a if pa <= pb and pa <= pc else
                                  b if pb <= pc else c)) & 255
    rows.append(bytes(line))
    prev = line
print('colours', len({r[x:x + bpp] for r in rows[::3]
                      for x in range(0, stride, bpp * 3)}))
)";

} // namespace

TEST(Picture, TheTimelineIsADocumentABrowserDraws)
{
	char dir[] = "/tmp/zombie-svg-XXXXXX";
	ASSERT_NE(mkdtemp(dir), nullptr);
	/* A name with what XML and a terminal must both be kept from. */
	std::string link = std::string(dir) + "/a<b&c\x01";
	ASSERT_EQ(symlink(FAMILY_PATH, link.c_str()), 0);
	std::string svg = std::string(dir) + "/t.svg";
	Seen r = watch(watcher({"--svg=" + svg, link, "subreaper"}));
	EXPECT_TRUE(exited(r, 0)) << r.parent_status << r.err;

	std::ostringstream text;
	text << std::ifstream(svg).rdbuf();
	std::string found = run_python(reader, text.str());
	std::string pids = " " + program_pid(r) + " ";
	std::istringstream in(r.out);
	std::smatch m;
	for (std::string l; std::getline(in, l);)
		if (std::regex_search(
			l, m, std::regex("created child (\\d+)$")))
			pids += m[1].str() + " ";
	std::istringstream named(found.substr(5, found.find('\n') - 5));
	int each = 0;
	for (std::string pid; named >> pid; each++)
		EXPECT_NE(pids.find(" " + pid + " "), std::string::npos)
		    << found;
	EXPECT_EQ(each, 4) << found;
	EXPECT_NE(found.find("\nnames 1\n"), std::string::npos) << found;
	/* A blank page has one colour; the picture has many. */
	std::smatch c;
	ASSERT_TRUE(std::regex_search(found, c, std::regex("colours (\\w+)")));
	if (c[1] != "none") {
		EXPECT_GT(strtol(c[1].str().c_str(), nullptr, 10), 5) << found;
	}
	(void)unlink(svg.c_str());
	(void)unlink(link.c_str());
	(void)rmdir(dir);
}
