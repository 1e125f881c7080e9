// SPDX-License-Identifier: BSD-2-Clause
#include "core/http.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>
#include <cstdlib>

namespace {

bool
same_word(std::string_view a, std::string_view b)
{
	if (a.size() != b.size())
		return false;
	for (size_t i = 0; i < a.size(); i++)
		if (std::tolower((unsigned char)a[i]) !=
		    std::tolower((unsigned char)b[i]))
			return false;
	return true;
}

std::string_view
trimmed(std::string_view s)
{
	while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
		s.remove_prefix(1);
	while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
		s.remove_suffix(1);
	return s;
}

/*
 * Whether an Accept header asks for OpenMetrics: named, and not with a
 * quality of zero.
 */
bool
wants_openmetrics(std::string_view accept)
{
	while (!accept.empty()) {
		size_t comma = accept.find(',');
		std::string_view item = accept.substr(0, comma);
		accept.remove_prefix(comma == std::string_view::npos
					 ? accept.size()
					 : comma + 1);
		size_t semi = item.find(';');
		if (!same_word(trimmed(item.substr(0, semi)),
			"application/openmetrics-text"))
			continue;
		size_t q = item.find("q=");
		if (q == std::string_view::npos ||
		    std::strtod(
			std::string(item.substr(q + 2)).c_str(), nullptr) > 0)
			return true;
	}
	return false;
}

/* "GET /metrics?x HTTP/1.1" */
bool
request_line(std::string_view line, Request &req)
{
	size_t sp1 = line.find(' ');
	size_t sp2 =
	    line.find(' ', sp1 == std::string_view::npos ? 0 : sp1 + 1);
	if (sp1 == 0 || sp1 == std::string_view::npos ||
	    sp2 == std::string_view::npos || sp2 == sp1 + 1)
		return false;
	std::string_view method = line.substr(0, sp1);
	std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
	std::string_view version = line.substr(sp2 + 1);
	for (char c : method)
		if (c < 'A' || c > 'Z')
			return false;
	if (version.substr(0, 7) != "HTTP/1." || version.size() != 8 ||
	    target.front() != '/')
		return false;
	req.method = std::string(method);
	req.path = std::string(target.substr(0, target.find('?')));
	return true;
}

} // namespace

Parse
parse_request(std::string_view bytes, Request &req)
{
	size_t end = bytes.find("\r\n\r\n");
	if (end == std::string_view::npos)
		return bytes.size() >= MOST_HEAD ? Parse::Bad : Parse::More;
	if (end + 4 > MOST_HEAD)
		return Parse::Bad;
	std::string_view head = bytes.substr(0, end + 2);
	size_t eol = head.find("\r\n");
	if (!request_line(head.substr(0, eol), req))
		return Parse::Bad;
	for (size_t at = eol + 2; at < head.size();) {
		eol = head.find("\r\n", at);
		std::string_view field = head.substr(at, eol - at);
		at = eol + 2;
		size_t colon = field.find(':');
		if (colon == std::string_view::npos || colon == 0)
			return Parse::Bad;
		if (same_word(field.substr(0, colon), "accept"))
			req.openmetrics =
			    req.openmetrics ||
			    wants_openmetrics(field.substr(colon + 1));
	}
	return Parse::Done;
}

std::string
response(const Answer &a)
{
	const char *reason = a.status == 200   ? "OK"
			     : a.status == 400 ? "Bad Request"
			     : a.status == 404 ? "Not Found"
			     : a.status == 405 ? "Method Not Allowed"
					       : "Service Unavailable";
	std::string out =
	    "HTTP/1.1 " + std::to_string(a.status) + " " + reason + "\r\n";
	out += "Content-Type: " + a.type + "\r\n";
	out += "Content-Length: " + std::to_string(a.body.size()) + "\r\n";
	if (a.allow)
		out += "Allow: GET\r\n";
	out += "Connection: close\r\n\r\n";
	return out + a.body;
}

std::optional<Listen>
parse_listen(std::string_view text)
{
	size_t colon = text.rfind(':');
	if (colon == std::string_view::npos)
		return std::nullopt;
	std::string_view host = text.substr(0, colon);
	std::string_view port = text.substr(colon + 1);
	Listen l;
	if (port.empty() || port.size() > 5 ||
	    port.find_first_not_of("0123456789") != std::string_view::npos)
		return std::nullopt;
	long n = std::strtol(std::string(port).c_str(), nullptr, 10);
	if (n > 65535)
		return std::nullopt;
	l.port = (std::uint16_t)n;
	if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
		host = host.substr(1, host.size() - 2);
		l.v6 = true;
	}
	l.host = host.empty() ? "0.0.0.0" : std::string(host);
	unsigned char addr[sizeof(struct in6_addr)];
	if (inet_pton(l.v6 ? AF_INET6 : AF_INET, l.host.c_str(), addr) != 1)
		return std::nullopt;
	return l;
}
