// What the tests on the private PC/SC stack share: its environment, card
// image files, a virtual card process driven through its standard input,
// and waiting for a reader state.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <PCSC/winscard.h>
#include <gtest/gtest.h>

#include "card-image/CardImage.h"
#include "helpers/DemoCards.h"

inline std::string stackValue(const char *name)
{
    const char *value = getenv(name);
    return value ? value : "";
}

inline long long nowMilliseconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Writes an image into the stack's run directory and answers its path.
inline std::string writeImage(const CardImage &image, const std::string &name)
{
    const std::string path = stackValue("VELMO_STACK_RUN") + "/" + name + ".card";
    std::ofstream(path) << saveCardImage(image);
    return path;
}

// One virtual card on one reader slot. Its pid goes into the stack's pid
// files as well, so that the stack's stop ends it should a test crash.
class VirtualCardProcess {
public:
    VirtualCardProcess(const std::string &port, const std::string &image,
                       const std::vector<std::string> &options = {})
    {
        int input[2], output[2];
        if (pipe(input) != 0 || pipe(output) != 0)
            return;
        const std::string program = stackValue("VELMO_VIRTUAL_CARD");
        std::vector<std::string> words = {program, "--port", port, "--image", image};
        words.insert(words.end(), options.begin(), options.end());
        std::vector<char *> arguments;
        for (std::string &word : words)
            arguments.push_back(&word[0]);
        arguments.push_back(NULL);
        pid = fork();
        if (pid == 0) {
            dup2(input[0], 0);
            dup2(output[1], 1);
            close(input[1]);
            close(output[0]);
            execv(program.c_str(), arguments.data());
            _exit(127);
        }
        close(input[0]);
        close(output[1]);
        toCard = input[1];
        fromCard = output[0];
        std::ofstream(stackValue("VELMO_STACK_RUN") + "/pids/card-" + std::to_string(pid) + ".pid")
            << pid << " " << startTime() << "\n";
    }

    ~VirtualCardProcess()
    {
        if (toCard >= 0)
            close(toCard);
        if (fromCard >= 0)
            close(fromCard);
        if (pid <= 0)
            return;
        for (int i = 0; i < 50 && waitpid(pid, NULL, WNOHANG) == 0; i++)
            usleep(100000);
        if (kill(pid, 0) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, NULL, 0);
        }
        unlink((stackValue("VELMO_STACK_RUN") + "/pids/card-" + std::to_string(pid) + ".pid").c_str());
    }

    // Sends one command line and answers the card's "ok" or "error" line.
    std::string command(const std::string &line)
    {
        const std::string text = line + "\n";
        if (write(toCard, text.data(), text.size()) != (ssize_t)text.size())
            return "error write";
        std::string answer;
        while (nextLine(answer, 20000))
            if (answer.compare(0, 2, "ok") == 0 || answer.compare(0, 5, "error") == 0)
                return answer;
        return "error no answer";
    }

    // Waits for an event line that begins with `prefix`.
    bool waitForEvent(const std::string &prefix, int timeout)
    {
        std::string line;
        const long long end = nowMilliseconds() + timeout;
        while (nextLine(line, (int)(end - nowMilliseconds())))
            if (line.compare(0, prefix.size(), prefix) == 0)
                return true;
        return false;
    }

private:
    std::string startTime() const
    {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const size_t end = text.rfind(") ");
        if (end == std::string::npos)
            return "";
        std::istringstream fields(text.substr(end + 2));
        std::string field;
        for (int i = 0; i < 20; i++)
            fields >> field;
        return field;
    }

    bool nextLine(std::string &line, int timeout)
    {
        const long long end = nowMilliseconds() + timeout;
        size_t at;
        while ((at = buffered.find('\n')) == std::string::npos) {
            const long long left = end - nowMilliseconds();
            struct pollfd entry = {fromCard, POLLIN, 0};
            if (left <= 0 || poll(&entry, 1, (int)left) <= 0)
                return false;
            char chunk[512];
            const ssize_t n = read(fromCard, chunk, sizeof chunk);
            if (n <= 0)
                return false;
            buffered.append(chunk, (size_t)n);
        }
        line = buffered.substr(0, at);
        buffered.erase(0, at + 1);
        return true;
    }

    pid_t pid = -1;
    int toCard = -1;
    int fromCard = -1;
    std::string buffered;
};

// Polls the reader's state, as the monitor does, until `flag` is set in it.
inline bool waitForReaderState(SCARDCONTEXT context, const std::string &reader, DWORD flag,
                               SCARD_READERSTATE &state, int timeout = 15000)
{
    state = SCARD_READERSTATE();
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    const long long end = nowMilliseconds() + timeout;
    while (nowMilliseconds() < end) {
        const LONG result = SCardGetStatusChange(context, 500, &state, 1);
        if (result != SCARD_S_SUCCESS && result != SCARD_E_TIMEOUT)
            return false;
        if (state.dwEventState & flag)
            return true;
        state.dwCurrentState = state.dwEventState & ~(DWORD)SCARD_STATE_CHANGED;
    }
    return false;
}

// pcscd learns that a card left only at its next presence poll of vpcd, up
// to 400 ms later. A card inserted before that would be taken for the
// previous test's card, whose connection is gone: each test starts once both
// readers read empty.
inline bool waitForEmptyReaders()
{
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, NULL, NULL, &context) != SCARD_S_SUCCESS)
        return false;
    SCARD_READERSTATE state;
    const bool empty = waitForReaderState(context, stackValue("VELMO_READER0"), SCARD_STATE_EMPTY, state) &&
                       waitForReaderState(context, stackValue("VELMO_READER1"), SCARD_STATE_EMPTY, state);
    SCardReleaseContext(context);
    return empty;
}
