// SPDX-License-Identifier: BSD-2-Clause
/*
 * zombie-watch --scan: it starts nothing and follows nothing.  The output
 * is opened first, so that a file that cannot be written fails before
 * /proc is read.
 */

#include "cmd/scan_mode.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string_view>

#include "report/scan.h"
#include "sys/fd.h"
#include "sys/kernel.h"
#include "sys/scan_proc.h"

static bool
write_all(int fd, std::string_view s)
{
	while (!s.empty()) {
		ssize_t n = write(fd, s.data(), s.size());
		if (n > 0)
			s.remove_prefix((size_t)n);
		else if (n == -1 && errno != EINTR)
			return false;
	}
	return true;
}

int
scan_main(bool json, const std::optional<std::string> &output)
{
	Fd file;
	const char *name = "standard output";

	if (output) {
		name = output->c_str();
		file = Fd(
		    open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
		if (!file) {
			(void)fprintf(stderr, "zombie-watch: %s: %s\n", name,
			    strerror(errno));
			return 125;
		}
	}
	int fd = file ? file.get() : STDOUT_FILENO;
	std::optional<Scan> scan = scan_read();
	if (!scan) {
		(void)fprintf(
		    stderr, "zombie-watch: /proc: %s\n", strerror(errno));
		return 125;
	}
	if (!write_all(fd, json ? scan_json(*scan)
				: scan_text(*scan, terminal_width(fd)))) {
		(void)fprintf(
		    stderr, "zombie-watch: %s: %s\n", name, strerror(errno));
		return 125;
	}
	return scan_status(*scan);
}
