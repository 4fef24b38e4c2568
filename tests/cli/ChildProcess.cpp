#include "tests/cli/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

ChildProcess::ChildProcess(const std::vector<std::string>& args, const Options& options)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    if (options.smallStdoutPipe)
        fcntl(out[1], F_SETPIPE_SZ, 4096);

    int errRead = -1;
    int errWrite = -1;
    if (options.stderrOnTerminal) {
        errRead = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (errRead < 0 || grantpt(errRead) != 0 || unlockpt(errRead) != 0)
            throw std::runtime_error("pty");
        // We keep a slave open ourselves, so the master never reports a hang-up and its
        // last bytes can still be read after the child has gone.
        errWrite = m_slaveFd = open(ptsname(errRead), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_slaveFd < 0)
            throw std::runtime_error("pty slave");
    } else {
        int err[2];
        if (pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        errRead = err[0];
        errWrite = err[1];
    }

    std::vector<std::string> argv = {KV_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (std::string& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);

    m_pid = fork();
    if (m_pid < 0)
        throw std::runtime_error("fork");
    if (m_pid == 0) {
        // Only async-signal-safe calls from here on.
        const int stdoutFd = options.stdoutPath.empty() ? out[1] : open(options.stdoutPath.c_str(), O_WRONLY);
        if (stdoutFd < 0)
            _exit(125);
        dup2(stdoutFd, STDOUT_FILENO);
        dup2(errWrite, STDERR_FILENO);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGINT, SIG_DFL);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
            _exit(126);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    close(out[1]);
    if (errWrite >= 0 && errWrite != m_slaveFd)
        close(errWrite);
    m_outFd = out[0];
    m_errFd = errRead;
}

ChildProcess::~ChildProcess()
{
    if (m_pid > 0 && m_nStatus < 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    if (m_outFd >= 0)
        close(m_outFd);
    if (m_errFd >= 0)
        close(m_errFd);
    if (m_slaveFd >= 0)
        close(m_slaveFd);
}

void ChildProcess::Pump(bool wantOut, bool wantErr)
{
    pollfd fds[2];
    int n = 0;
    if (wantOut && m_outFd >= 0)
        fds[n++] = {m_outFd, POLLIN, 0};
    if (wantErr && m_errFd >= 0)
        fds[n++] = {m_errFd, POLLIN, 0};
    if (n == 0)
        return;
    if (poll(fds, static_cast<nfds_t>(n), -1) < 0)
        return;
    for (int i = 0; i < n; ++i) {
        if (fds[i].revents == 0)
            continue;
        char buffer[8192];
        ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        int& fd = fds[i].fd == m_outFd ? m_outFd : m_errFd;
        std::string& text = fds[i].fd == m_outFd ? m_strOut : m_strErr;
        if (got <= 0) {  // end of the pipe, or EIO once the terminal's last user is gone
            close(fd);
            fd = -1;
        } else {
            text.append(buffer, static_cast<size_t>(got));
        }
    }
}

bool ChildProcess::ReadStdoutUntil(const std::string& text)
{
    while (m_strOut.find(text) == std::string::npos) {
        if (m_outFd < 0)
            return false;
        Pump(true, false);
    }
    return true;
}

bool ChildProcess::ReadStderrUntil(const std::string& text)
{
    while (m_strErr.find(text) == std::string::npos) {
        if (m_errFd < 0)
            return false;
        Pump(false, true);
    }
    return true;
}

void ChildProcess::Signal(int signal)
{
    kill(m_pid, signal);
}

int ChildProcess::Finish()
{
    while (m_outFd >= 0 || m_errFd >= 0) {
        // A terminal gives no end of file while the child still holds it open: once the
        // pipe has ended, wait for the child before the last read of the terminal.
        if (m_outFd < 0 && m_nStatus < 0) {
            int status = 0;
            waitpid(m_pid, &status, 0);
            m_nStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            int flags = fcntl(m_errFd, F_GETFL);
            fcntl(m_errFd, F_SETFL, flags | O_NONBLOCK);
        }
        if (m_outFd < 0 && m_errFd >= 0) {
            char buffer[8192];
            ssize_t got = read(m_errFd, buffer, sizeof buffer);
            if (got > 0) {
                m_strErr.append(buffer, static_cast<size_t>(got));
                continue;
            }
            close(m_errFd);
            m_errFd = -1;
            break;
        }
        Pump(true, true);
    }
    if (m_nStatus < 0) {
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_nStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return m_nStatus;
}

RunResult RunCli(const std::vector<std::string>& args, const ChildProcess::Options& options)
{
    ChildProcess child(args, options);
    int status = child.Finish();
    return {status, child.Stdout(), child.Stderr()};
}
