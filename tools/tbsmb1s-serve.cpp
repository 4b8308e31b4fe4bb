// tbsmb1s-serve: a small host that serves folders read-only over SMB1, or
// runs a simulation script, using only the library's public interface.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "tbsmb1s.h"

namespace {

constexpr const char *k_usage =
    "usage: tbsmb1s-serve [--listen ADDR:PORT] [--share NAME=PATH]... [--user NAME]\n"
    "                     [--allow CIDR]... [--option KEY=VALUE]... [--server-name NAME]\n"
    "                     [--stats SECONDS] [FOLDER]\n"
    "       tbsmb1s-serve --simulate SCRIPT [--peer ADDR] [share, user, allow and option flags]\n"
    "Serves FOLDER (or the current folder) read-only over SMB1 on 127.0.0.1:4450 by default.\n"
    "--user reads the password from TBSMB1S_PASSWORD, or from standard input when unset.\n";

struct share_arg {
    std::string name, path;
};

struct config {
    std::string address = "127.0.0.1";
    uint32_t port = 4450;
    std::vector<share_arg> shares;
    std::vector<std::string> users, allows, options;  // options as KEY=VALUE
    std::string server_name;
    int stats_seconds = 0;
    std::string simulate, peer;
};

[[noreturn]] void bad(const std::string &msg)
{
    std::fprintf(stderr, "tbsmb1s-serve: %s\n", msg.c_str());
    std::exit(2);
}

// Fails with the library's own message for a refused call.
void check(int32_t rc, const std::string &what)
{
    if (rc != 0)
        bad(what + ": " + tbsmb1s_last_error());
}

bool parse_uint(const std::string &s, unsigned long max, unsigned long *out)
{
    if (s.empty() || s.size() > 10 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long v = std::stoul(s);
    if (v > max)
        return false;
    *out = v;
    return true;
}

// ADDR:PORT, [IPv6]:PORT, or an address alone (the default port stays).
void parse_listen(const std::string &s, config *c)
{
    std::string addr = s, port;
    if (!s.empty() && s[0] == '[') {
        size_t close = s.find(']');
        if (close == std::string::npos)
            bad("--listen: missing ']' in " + s);
        addr = s.substr(1, close - 1);
        if (close + 1 < s.size()) {
            if (s[close + 1] != ':')
                bad("--listen: expected ':PORT' after ']' in " + s);
            port = s.substr(close + 2);
        }
    } else if (std::count(s.begin(), s.end(), ':') == 1) {
        addr = s.substr(0, s.find(':'));
        port = s.substr(s.find(':') + 1);
    }
    if (addr.empty())
        addr = "127.0.0.1";
    unsigned long p = c->port;
    if (!port.empty() && !parse_uint(port, 65535, &p))
        bad("--listen: bad port in " + s);
    c->address = addr;
    c->port = uint32_t(p);
}

// The base name of a folder, used as its share name ("root" for '/').
std::string base_name(const std::string &path)
{
    char real[PATH_MAX];
    std::string p = realpath(path.c_str(), real) ? real : path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    size_t slash = p.rfind('/');
    std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
    return name.empty() ? "root" : name;
}

config parse_args(int argc, char **argv)
{
    config c;
    std::vector<std::string> folders;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                bad(a + " needs a value");
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            std::fputs(k_usage, stdout);
            std::exit(0);
        } else if (a == "--listen") {
            parse_listen(value(), &c);
        } else if (a == "--share") {
            std::string v = value();
            size_t eq = v.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == v.size())
                bad("--share: expected NAME=PATH, got " + v);
            c.shares.push_back({v.substr(0, eq), v.substr(eq + 1)});
        } else if (a == "--user") {
            c.users.push_back(value());
        } else if (a == "--allow") {
            c.allows.push_back(value());
        } else if (a == "--option") {
            std::string v = value();
            if (v.find('=') == std::string::npos)
                bad("--option: expected KEY=VALUE, got " + v);
            c.options.push_back(v);
        } else if (a == "--server-name") {
            c.server_name = value();
        } else if (a == "--stats") {
            unsigned long s;
            if (!parse_uint(value(), 86400, &s) || s == 0)
                bad("--stats: seconds from 1 to 86400");
            c.stats_seconds = int(s);
        } else if (a == "--simulate") {
            c.simulate = value();
        } else if (a == "--peer") {
            c.peer = value();
        } else if (a.size() > 1 && a[0] == '-') {
            bad("unknown flag " + a + " (see --help)");
        } else {
            folders.push_back(a);
        }
    }
    for (const std::string &f : folders)
        c.shares.push_back({base_name(f), f});
    return c;
}

// The password of --user: TBSMB1S_PASSWORD, else one line of standard input,
// so it never shows in the process list.
std::string read_password(const std::string &user)
{
    if (const char *env = std::getenv("TBSMB1S_PASSWORD"))
        return env;
    if (isatty(STDIN_FILENO))
        std::fprintf(stderr, "password for %s: ", user.c_str());
    std::string line;
    if (!std::getline(std::cin, line))
        bad("--user " + user + ": no password on standard input and TBSMB1S_PASSWORD unset");
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

void configure(config *c)
{
    check(tbsmb1s_set_option("allow_smb1", "1"), "allow_smb1");
    for (const std::string &o : c->options) {
        size_t eq = o.find('=');
        check(tbsmb1s_set_option(o.substr(0, eq).c_str(), o.substr(eq + 1).c_str()), "--option " + o);
    }
    if (c->shares.empty() && c->simulate.empty()) {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd))
            bad("cannot read the current folder");
        c->shares.push_back({base_name(cwd), cwd});
    }
    for (const share_arg &s : c->shares)
        check(tbsmb1s_add_share(s.name.c_str(), s.path.c_str()), "--share " + s.name + "=" + s.path);
    for (const std::string &u : c->users)
        check(tbsmb1s_add_user(u.c_str(), read_password(u).c_str()), "--user " + u);
    for (const std::string &a : c->allows)
        check(tbsmb1s_allow_cidr(a.c_str()), "--allow " + a);
}

int simulate(const config &c)
{
    std::ifstream in(c.simulate, std::ios::binary);
    if (!in)
        bad("--simulate: cannot read " + c.simulate);
    std::stringstream script;
    script << in.rdbuf();
    const char *out = tbsmb1s_simulate(script.str().c_str(), c.peer.empty() ? nullptr : c.peer.c_str());
    if (!out)
        bad(std::string("--simulate: ") + tbsmb1s_last_error());
    std::fputs(out, stdout);
    return 0;
}

int serve(const config &c)
{
    // Block the stop signals before any thread starts, then wait for them here.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    check(tbsmb1s_start(c.address.c_str(), c.port, c.server_name.empty() ? nullptr : c.server_name.c_str()),
          "start");
    uint32_t port = tbsmb1s_port();
    std::string host = c.address == "0.0.0.0" ? "127.0.0.1" : c.address == "::" ? "::1" : c.address;
    std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    std::printf("tbsmb1s %s serving read-only on %s port %u:", tbsmb1s_version(), shown.c_str(), port);
    for (const share_arg &s : c.shares)
        std::printf(" %s=%s", s.name.c_str(), s.path.c_str());
    std::printf("\nconnect: smbclient //%s/%s -p %u -m NT1 --option='client min protocol=NT1' %s\n",
                host.c_str(), c.shares.front().name.c_str(), port,
                c.users.empty() ? "-N" : ("-U " + c.users.front()).c_str());
    std::fflush(stdout);

    for (;;) {
        timespec wait = {c.stats_seconds ? c.stats_seconds : 3600, 0};
        int sig = sigtimedwait(&stop, nullptr, &wait);
        if (sig == SIGINT || sig == SIGTERM)
            break;
        if (sig < 0 && errno == EAGAIN && c.stats_seconds) {
            std::printf("%s\n", tbsmb1s_stats_json());
            std::fflush(stdout);
        }
    }
    tbsmb1s_stop();
    std::printf("%s\n", tbsmb1s_stats_json());
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    config c = parse_args(argc, argv);
    configure(&c);
    return c.simulate.empty() ? serve(c) : simulate(c);
}
