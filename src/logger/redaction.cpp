// Hiding credentials of URLs, and reading credentials typed without percent-encoding.
//
// Camera passwords are often typed as they are, '@', '/', '#' and all, so shown texts hide
// everything from "://" up to the last '@' of a URL but a plain user name, and the values of
// credential-like query parameters.

#include <algorithm>
#include <cctype>

#include "logger/logger.hpp"

namespace vantle::logging {
namespace {

constexpr std::string_view kHidden = "***";

bool is_alnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) && static_cast<unsigned char>(c) < 0x80; }
bool is_hex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) && static_cast<unsigned char>(c) < 0x80; }
bool is_unreserved(char c) { return is_alnum(c) || c == '-' || c == '.' || c == '_' || c == '~'; }
bool is_sub_delim(char c) { return std::string_view("!$&'()*+,;=").find(c) != std::string_view::npos; }
bool is_scheme_char(char c) { return is_alnum(c) || c == '+' || c == '-' || c == '.'; }

// Characters that end a URL inside free text. ',', ';' and ')' do not: a password may hold them.
bool ends_url(char c) {
    return c == '"' || c == '\'' || c == '<' || c == '>' || c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool pct_encoded_at(std::string_view text, std::size_t i) {
    return text[i] == '%' && i + 2 < text.size() && is_hex(text[i + 1]) && is_hex(text[i + 2]);
}

// An '@' that a host name or an IPv6 literal follows.
bool host_follows(std::string_view body, std::size_t at) {
    return at + 1 < body.size() && (is_unreserved(body[at + 1]) || body[at + 1] == '%' || body[at + 1] == '[');
}

bool credential_name(std::string_view name) {
    std::string lower;
    for (char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    static constexpr std::string_view kNames[] = {
        "pass", "pw", "psw", "auth", "key", "sig", "loginpas", "credential", "credentials",
        "authorization", "passphrase", "session", "sessionid", "access_code"};
    static constexpr std::string_view kEndings[] = {
        "password", "passwd", "pwd", "token", "secret", "signature", "apikey", "api_key",
        "api-key", "_key", "-key", "_pass", "_auth", "-auth"};
    if (std::find(std::begin(kNames), std::end(kNames), lower) != std::end(kNames)) return true;
    return std::any_of(std::begin(kEndings), std::end(kEndings),
                       [&](std::string_view ending) { return lower.ends_with(ending); });
}

// `rest` (host, path, query and fragment) with the values of credential-like query parameters hidden.
std::string hide_query_secrets(std::string_view rest) {
    const std::size_t query = rest.find('?');
    if (query == std::string_view::npos) return std::string(rest);
    std::string out(rest.substr(0, query + 1));
    std::size_t pos = query + 1;
    while (pos < rest.size() && rest[pos] != '#') {
        const std::size_t next = std::min(rest.find_first_of("&;#", pos), rest.size());
        const std::size_t equals = rest.find('=', pos);
        if (equals < next && credential_name(rest.substr(pos, equals - pos))) {
            out.append(rest.substr(pos, equals + 1 - pos));
            out.append(kHidden);
            // Up to the next parameter: a value typed without encoding may hold ';'.
            pos = std::min(rest.find_first_of("&#", equals), rest.size());
        } else {
            out.append(rest.substr(pos, next - pos));
            pos = next;
        }
        if (pos < rest.size() && rest[pos] != '#') out += rest[pos++];
    }
    out.append(rest.substr(std::min(pos, rest.size())));
    return out;
}

// A URL after its "://", with its credentials hidden.
std::string redact_body(std::string_view body) {
    // Everything up to the last '@' is hidden, whatever follows it.
    const std::size_t at = body.rfind('@');
    if (at == std::string_view::npos) return hide_query_secrets(body);
    const std::string_view userinfo = body.substr(0, at);
    const std::size_t colon = userinfo.find(':');
    std::string out;
    // The user name stays readable, unless it is a token alone or looks like more than a name.
    if (colon != std::string_view::npos && userinfo.substr(0, colon).find_first_of("/?#&=") == std::string_view::npos) {
        out.append(userinfo.substr(0, colon + 1));
    }
    out.append(kHidden);
    out.append(hide_query_secrets(body.substr(at)));
    return out;
}

// Where the URL whose "://" ends at `body` ends in free text: at a character that ends URLs, or
// where the next URL's scheme begins.
std::size_t url_end(std::string_view text, std::size_t body) {
    std::size_t end = body;
    while (end < text.size() && !ends_url(text[end])) ++end;
    const std::size_t next = text.substr(0, end).find("://", body);
    if (next == std::string_view::npos) return end;
    std::size_t scheme = next;
    while (scheme > body && is_scheme_char(text[scheme - 1])) --scheme;
    return scheme;
}

void append_percent_encoded(std::string& out, std::string_view text) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (is_unreserved(c) || pct_encoded_at(text, i)) {
            out += c;
        } else {
            out += '%';
            out += kDigits[static_cast<unsigned char>(c) >> 4];
            out += kDigits[static_cast<unsigned char>(c) & 0xF];
        }
    }
}

// True when `authority` reads as [userinfo@]host[:port] by the URL standard.
bool standard_authority(std::string_view authority) {
    const std::size_t at = authority.rfind('@');
    std::string_view host = authority;
    if (at != std::string_view::npos) {
        const std::string_view userinfo = authority.substr(0, at);
        for (std::size_t i = 0; i < userinfo.size(); ++i) {
            if (pct_encoded_at(userinfo, i)) {
                i += 2;
            } else if (!(is_unreserved(userinfo[i]) || is_sub_delim(userinfo[i]) || userinfo[i] == ':')) {
                return false;
            }
        }
        host = authority.substr(at + 1);
    }
    std::size_t port = host.rfind(':');
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos) return false;
        port = close + 1 < host.size() ? close + 1 : std::string_view::npos;
        if (port != std::string_view::npos && host[port] != ':') return false;
    } else {
        const std::string_view name = host.substr(0, port);
        if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) {
                return is_unreserved(c) || is_sub_delim(c) || c == '%';
            })) {
            return false;
        }
    }
    if (port == std::string_view::npos) return true;
    const std::string_view digits = host.substr(port + 1);
    return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string redact_url(std::string_view url) {
    const std::size_t marker = url.find("://");
    if (marker == std::string_view::npos) return std::string(url);
    return std::string(url.substr(0, marker + 3)) + redact_body(url.substr(marker + 3));
}

std::string redact_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t marker = text.find("://", pos);
        if (marker == std::string_view::npos) break;
        const std::size_t body = marker + 3;
        const std::size_t end = url_end(text, body);
        out.append(text.substr(pos, body - pos));
        out.append(redact_body(text.substr(body, end - body)));
        pos = end;
    }
    out.append(text.substr(pos));
    return out;
}

std::optional<std::string> encode_credentials(std::string_view url) {
    const std::size_t marker = url.find("://");
    if (marker == std::string_view::npos) return std::string(url);
    const std::string_view body = url.substr(marker + 3);
    const std::string_view authority = body.substr(0, body.find_first_of("/?#"));
    // A standard URL keeps its reading (an '@' in its path or query stays there); any other
    // reads up to the last '@' that a host follows.
    std::size_t at = authority.rfind('@');
    if (!standard_authority(authority)) {
        at = body.rfind('@');
        if (at != std::string_view::npos && !host_follows(body, at)) return std::nullopt;
    }
    if (at == std::string_view::npos) return std::string(url);

    // Every character but the unreserved ones and "%XX" is encoded, so that neither a URL
    // parser nor a launch string reads a password's characters as syntax; the sources decode
    // the user and password before use.
    const std::string_view userinfo = body.substr(0, at);
    const std::size_t colon = userinfo.find(':');
    std::string out(url.substr(0, marker + 3));
    append_percent_encoded(out, userinfo.substr(0, colon));
    if (colon != std::string_view::npos) {
        out += ':';
        append_percent_encoded(out, userinfo.substr(colon + 1));
    }
    out.append(body.substr(at));
    return out;
}

}  // namespace vantle::logging
