// The host program tbsmb1s-serve, run as a real process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../net/client.h"
#include "smb1.h"
#include "support.h"

namespace {

using namespace tb1s_test;

// A child process with its standard streams on pipes.
struct proc {
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;
    std::string out_text, err_text;

    proc(const std::vector<std::string> &args, const std::vector<std::string> &env = {})
    {
        int pin[2], pout[2], perr[2];
        if (pipe(pin) || pipe(pout) || pipe(perr))
            return;
        pid = fork();
        if (pid == 0) {
            dup2(pin[0], 0);
            dup2(pout[1], 1);
            dup2(perr[1], 2);
            for (int fd : {pin[0], pin[1], pout[0], pout[1], perr[0], perr[1]})
                close(fd);
            unsetenv("TBSMB1S_PASSWORD");
            for (const std::string &e : env)
                putenv(const_cast<char *>(e.c_str()));
            std::vector<char *> argv;
            std::string exe = TB1S_SERVE_PATH;
            argv.push_back(exe.data());
            for (const std::string &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
        close(pin[0]);
        close(pout[1]);
        close(perr[1]);
        in = pin[1];
        out = pout[0];
        err = perr[0];
    }
    ~proc()
    {
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (int fd : {in, out, err})
            if (fd >= 0)
                close(fd);
    }

    // Reads standard output until it holds `lines` line feeds or ms pass.
    bool read_lines(int lines, int ms)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::count(out_text.begin(), out_text.end(), '\n') < lines) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{out, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0)
                return false;
            char b[4096];
            ssize_t n = read(out, b, sizeof b);
            if (n <= 0)
                return false;
            out_text.append(b, size_t(n));
        }
        return true;
    }

    // Closes standard input, collects both outputs and the exit status.
    int finish()
    {
        if (in >= 0) {
            close(in);
            in = -1;
        }
        for (auto [fd, text] : {std::pair{out, &out_text}, std::pair{err, &err_text}}) {
            char b[4096];
            ssize_t n;
            while ((n = read(fd, b, sizeof b)) > 0)
                text->append(b, size_t(n));
        }
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

TEST(Serve, BadFlagsGiveOneLineAndStatus2)
{
    temp_dir d;
    struct bad_case {
        std::vector<std::string> args;
        const char *says;  // part of the one line on standard error
    };
    const bad_case cases[] = {
        {{"--bogus"}, "unknown flag --bogus"},
        {{"--listen", "127.0.0.1:70000"}, "--listen: bad port"},
        {{"--listen"}, "--listen needs a value"},
        {{"--option", "max_clients=0"}, "max_clients: 1..1024"},
        {{"--option", "nokey"}, "expected KEY=VALUE"},
        {{"--share", "x=" + d.path + "/missing"}, "does not exist"},
        {{"--share", "a/b=" + d.path}, "add_share: invalid share name"},
        {{"--allow", "10.0.0.0/33"}, "allow_cidr: 10.0.0.0/33 is not a CIDR"},
        {{"--stats", "0"}, "--stats: seconds from 1 to 86400"},
        {{"--listen", "localhost:4450", d.path}, "start: localhost is not an IP address"},
        {{"--simulate", d.path + "/no-such-script"}, "--simulate: cannot read"},
    };
    for (const bad_case &c : cases) {
        proc p(c.args);
        int rc = p.finish();
        EXPECT_EQ(rc, 2) << c.args[0];
        EXPECT_NE(p.err_text.find(c.says), std::string::npos) << c.args[0] << ": " << p.err_text;
        EXPECT_EQ(std::count(p.err_text.begin(), p.err_text.end(), '\n'), 1) << p.err_text;
    }
}

// The port from the first line: "... serving read-only on 127.0.0.1 port N: ..."
uint16_t announced_port(const std::string &out)
{
    size_t at = out.find(" port ");
    return at == std::string::npos ? 0 : uint16_t(std::stoi(out.substr(at + 6)));
}

TEST(Serve, AnswersEchoAndStopsOnSigintWithStatistics)
{
    temp_dir d;
    d.write("a.txt", "hello");
    proc p({"--listen", "127.0.0.1:0", d.path});
    ASSERT_TRUE(p.read_lines(2, 10000)) << p.out_text;
    EXPECT_NE(p.out_text.find("smbclient //127.0.0.1/"), std::string::npos) << p.out_text;
    uint16_t port = announced_port(p.out_text);
    ASSERT_NE(port, 0);

    int fd = connect_to("127.0.0.1", port);
    ASSERT_GE(fd, 0);
    smb1_request echo = echo_request(1, {'p', 'i', 'n', 'g'});
    bytes frame = smb1_frame(echo);
    ASSERT_EQ(send(fd, frame.data(), frame.size(), 0), ssize_t(frame.size()));
    uint8_t head[4];
    ASSERT_EQ(recv(fd, head, 4, MSG_WAITALL), 4);
    size_t len = size_t(head[1]) << 16 | size_t(head[2]) << 8 | head[3];
    bytes msg(len);
    ASSERT_EQ(recv(fd, msg.data(), len, MSG_WAITALL), ssize_t(len));
    smb1_reply r;
    ASSERT_TRUE(parse_reply(msg, &r));
    EXPECT_EQ(r.cmd, 0x2B);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.data, echo.data);
    close(fd);

    kill(p.pid, SIGINT);
    EXPECT_EQ(p.finish(), 0);
    std::string last = p.out_text.substr(p.out_text.rfind('{'));
    EXPECT_EQ(last.rfind("{\"running\":false,\"port\":0,\"clients\":0,", 0), 0u) << last;
}

TEST(Serve, PrintsStatisticsPeriodically)
{
    temp_dir d;
    proc p({"--listen", "127.0.0.1:0", "--stats", "1", d.path});
    ASSERT_TRUE(p.read_lines(3, 10000)) << p.out_text;
    std::string third = p.out_text.substr(p.out_text.find('\n', p.out_text.find('\n') + 1) + 1);
    EXPECT_EQ(third.rfind("{\"running\":true,", 0), 0u) << third;
    kill(p.pid, SIGTERM);
    EXPECT_EQ(p.finish(), 0);
}

TEST(Serve, UserPasswordFromEnvironmentOrStandardInput)
{
    temp_dir d;
    std::string script = d.write("empty.hex", "# nothing\n");
    {
        proc p({"--user", "alice", "--simulate", script}, {"TBSMB1S_PASSWORD=secret"});
        EXPECT_EQ(p.finish(), 0) << p.err_text;
        EXPECT_EQ(p.out_text, "RESULT ok (0 frames)\n");
    }
    {
        proc p({"--user", "alice", "--simulate", script});
        ASSERT_EQ(write(p.in, "secret\n", 7), 7);
        EXPECT_EQ(p.finish(), 0) << p.err_text;
        EXPECT_EQ(p.out_text, "RESULT ok (0 frames)\n");
    }
    {
        proc p({"--user", "alice", "--simulate", script});  // standard input closed at once
        EXPECT_EQ(p.finish(), 2);
        EXPECT_NE(p.err_text.find("no password"), std::string::npos) << p.err_text;
    }
}

TEST(Serve, SimulatesAScriptFromARefusedPeer)
{
    temp_dir d;
    std::string path = d.write("echo.hex", script({smb1_frame(echo_request(1, {}))}));
    {
        proc p({"--simulate", path});
        EXPECT_EQ(p.finish(), 0) << p.err_text;
        EXPECT_NE(p.out_text.find(">> ECHO\n<< ff534d422b"), std::string::npos) << p.out_text;
        EXPECT_NE(p.out_text.find("RESULT ok (1 frames)\n"), std::string::npos);
    }
    {
        proc p({"--simulate", path, "--peer", "192.0.2.10"});
        EXPECT_EQ(p.finish(), 0) << p.err_text;
        EXPECT_EQ(p.out_text, "refused: client address not allowed\n");
    }
}

}  // namespace
