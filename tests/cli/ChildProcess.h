// Runs kellovaran-cli as a child process with its standard output and error captured.
#pragma once
#include <string>
#include <sys/types.h>
#include <vector>

class ChildProcess {
public:
    struct Options {
        std::string cwd;             // empty: the test's own
        bool smallStdoutPipe = false;  // one page: the child stalls as soon as we stop reading
        bool stderrOnTerminal = false; // stderr is a pseudo-terminal
        std::string stdoutPath;        // stdout goes to this file (e.g. /dev/full), not to us
    };

    ChildProcess(const std::vector<std::string>& args, const Options& options);
    ChildProcess(const std::vector<std::string>& args) : ChildProcess(args, Options{}) {}
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Reads until the stream holds text (true) or ends (false). Never times out by itself:
    // ctest's timeout guards a child that hangs.
    bool ReadStdoutUntil(const std::string& text);
    bool ReadStderrUntil(const std::string& text);
    void Signal(int signal);
    // Reads both streams to their end and waits; the exit status, 128 + n after signal n.
    int Finish();

    const std::string& Stdout() const { return m_strOut; }
    const std::string& Stderr() const { return m_strErr; }

private:
    // Reads whatever is available from the open streams, waiting for at least one.
    void Pump(bool wantOut, bool wantErr);

    pid_t m_pid = -1;
    int m_outFd = -1;
    int m_errFd = -1;
    int m_slaveFd = -1;
    std::string m_strOut;
    std::string m_strErr;
    int m_nStatus = -1;
};

struct RunResult {
    int status;
    std::string out;
    std::string err;
};

RunResult RunCli(const std::vector<std::string>& args, const ChildProcess::Options& options = {});
