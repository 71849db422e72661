// Plays a card of this family to vpcd, the virtual reader driver of pcscd.
// Inserting the card is connecting to the reader slot's TCP port, removing
// it is disconnecting. vpcd sends messages of a 2-byte big-endian length and
// that many bytes: one byte is a control code (0 power off, 1 power on,
// 2 reset, 4 ATR wanted), more is a command APDU, answered with the card's
// response APDU. The card answers as soon as it has a whole command; with
// --t0-timing it answers as late as a real T=0 card of the family would
// (CardTiming.h), at a reader clock of --clock HZ (4 MHz) and a processing
// time of --processing-us N (2000) a command.
//   usage: velmo-virtual-card --port N [--host ADDRESS] [--image FILE]
//                             [--t0-timing] [--clock HZ] [--processing-us N]
// Commands, one per line on standard input, each answered by one line that
// begins with "ok" or "error" on standard output:
//   insert | remove | fail-after K | load FILE | status | counters | apdus | quit
// fail-after K answers K more command APDUs, then disconnects at the next
// one, as a card pulled out in the middle of a read. counters answers, since
// the last insertion: the command APDUs, their bytes each way, the
// wall-clock times (Unix milliseconds) when the first command arrived and
// when the last answer left, and card-us, the microseconds a real T=0 card
// needs for those exchanges (whether or not --t0-timing makes the card take
// them). apdus answers the command APDUs themselves in hexadecimal, in the
// order they came (the first 1,024), for a bare client to send again. The
// end of standard input quits.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "card-image/CardEmulator.h"
#include "../common/SocketIo.h"
#include "card-image/CardImage.h"
#include "CardTiming.h"

namespace {

enum : uint8_t { PowerOff = 0, PowerOn = 1, Reset = 2, GetAtr = 4 };

struct VirtualCard {
    std::string host;
    uint16_t port;
    CardImage image;
    bool loaded;
    int socket; // -1 while the card is out
    CardSelection selection;
    long failAfter; // command APDUs still answered; -1 for no limit
    unsigned long commands; // command APDUs answered since the last insertion
    bool timed; // answers take as long as on a real T=0 card
    CardTiming timing;
};

// What the card was asked since the last insertion, for the benchmark.
struct Traffic {
    unsigned long long bytesIn;
    unsigned long long bytesOut;
    long long firstCommand; // Unix milliseconds the first command arrived; 0 before it
    long long lastAnswer; // Unix milliseconds the last answer left
    double cardMicroseconds; // what a real T=0 card needs for the same exchanges
    std::vector<Bytes> apdus; // the commands, the first MaxRecorded of them
};

const size_t MaxRecorded = 1024;

VirtualCard card = {"127.0.0.1", 0, CardImage(), false, -1, CardSelection{-1, -1, Bytes()}, -1, 0,
                    false, DefaultCardTiming};
Traffic traffic = {0, 0, 0, 0, 0.0, {}};

long long wallClockMilliseconds()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

struct timespec monotonicNow()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

// Sleeps until `microseconds` after `start`.
void sleepUntil(struct timespec start, double microseconds)
{
    const long long nanoseconds = start.tv_nsec + (long long)(microseconds * 1000.0);
    struct timespec end = {start.tv_sec + (time_t)(nanoseconds / 1000000000LL),
                           (long)(nanoseconds % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, NULL) == EINTR) {
    }
}

void reply(const char *format, const std::string &text = std::string())
{
    printf(format, text.c_str());
    putchar('\n');
    fflush(stdout);
}

bool sendMessage(int fd, const Bytes &message)
{
    if (message.size() > 0xFFFF)
        return false;
    Bytes frame{(uint8_t)(message.size() >> 8), (uint8_t)message.size()};
    frame.insert(frame.end(), message.begin(), message.end());
    return writeFully(fd, frame.data(), frame.size());
}

void pullCard()
{
    if (card.socket >= 0)
        close(card.socket);
    card.socket = -1;
    card.failAfter = -1;
}

void sleepMilliseconds(long milliseconds)
{
    struct timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000};
    nanosleep(&pause, NULL);
}

// The reader may still be starting: a refused connection is tried again
// for a few seconds.
int connectToReader()
{
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(card.port);
    if (inet_pton(AF_INET, card.host.c_str(), &address.sin_addr) != 1)
        return -1;
    for (int attempt = 0; attempt < 50; attempt++) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            return -1;
        if (connect(fd, (struct sockaddr *)&address, sizeof address) == 0) {
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return fd;
        }
        close(fd);
        sleepMilliseconds(100);
    }
    return -1;
}

void insertCard()
{
    if (!card.loaded) {
        reply("error no card image loaded");
        return;
    }
    if (card.socket >= 0) {
        reply("ok already inserted");
        return;
    }
    card.socket = connectToReader();
    if (card.socket < 0) {
        reply("error reader port %s does not answer", std::to_string(card.port));
        return;
    }
    card.selection = freshSelection();
    card.commands = 0;
    traffic = Traffic{0, 0, 0, 0, 0.0, {}};
    reply("ok inserted");
}

// vpcd sends a message's length and its body in two writes and leaves
// Nagle's algorithm on, so the body waits until the length is acknowledged:
// with the kernel's delayed acknowledgement, some 40 ms a message. Quick
// acknowledgement is not sticky, so it is asked for after every read.
void acknowledgeAtOnce(int fd)
{
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

// One message from vpcd; false when the reader went away or broke the
// protocol, which takes the card out.
bool serveMessage()
{
    uint8_t header[2];
    if (!readFully(card.socket, header, sizeof header))
        return false;
    acknowledgeAtOnce(card.socket);
    const size_t length = (size_t)header[0] << 8 | header[1];
    Bytes message(length);
    if (length == 0 || !readFully(card.socket, message.data(), length))
        return false;
    if (length == 1) {
        if (message[0] == GetAtr)
            return sendMessage(card.socket, card.image.atr);
        if (message[0] == PowerOn || message[0] == Reset || message[0] == PowerOff)
            card.selection = freshSelection();
        return true;
    }
    if (card.failAfter == 0) {
        reply("event pulled after %s commands", std::to_string(card.commands));
        return false;
    }
    if (card.failAfter > 0)
        card.failAfter--;
    card.commands++;
    const struct timespec arrived = monotonicNow();
    if (!traffic.firstCommand)
        traffic.firstCommand = wallClockMilliseconds();
    const Bytes answer = answerApdu(card.image, card.selection, message, false);
    const double needed = t0ExchangeMicroseconds(card.timing, card.image.atr, message.size(), answer.size());
    if (card.timed)
        sleepUntil(arrived, needed);
    traffic.bytesIn += message.size();
    traffic.bytesOut += answer.size();
    traffic.cardMicroseconds += needed;
    if (traffic.apdus.size() < MaxRecorded)
        traffic.apdus.push_back(message);
    const bool sent = sendMessage(card.socket, answer);
    traffic.lastAnswer = wallClockMilliseconds();
    return sent;
}

void reportTraffic()
{
    char text[200];
    snprintf(text, sizeof text, "commands %lu bytes-in %llu bytes-out %llu first %lld last %lld card-us %.0f",
             card.commands, traffic.bytesIn, traffic.bytesOut, traffic.firstCommand, traffic.lastAnswer,
             traffic.cardMicroseconds);
    reply("ok %s", text);
}

void reportApdus()
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (const Bytes &apdu : traffic.apdus) {
        text += ' ';
        for (unsigned char octet : apdu) {
            text += digits[octet >> 4];
            text += digits[octet & 15];
        }
    }
    reply("ok%s", text);
}

bool parseCount(const std::string &text, long &count)
{
    char *end = NULL;
    count = strtol(text.c_str(), &end, 10);
    return !text.empty() && !*end && count >= 0;
}

// Answers one command line; false for quit.
bool runCommand(const std::string &line)
{
    std::istringstream fields(line);
    std::string command, argument;
    fields >> command >> argument;
    long count = 0;
    if (command.empty()) {
        return true;
    } else if (command == "insert") {
        insertCard();
    } else if (command == "remove") {
        pullCard();
        reply("ok removed");
    } else if (command == "fail-after" && parseCount(argument, count)) {
        card.failAfter = count;
        reply("ok fail after %s commands", argument);
    } else if (command == "load" && !argument.empty()) {
        CardImage image;
        if (!loadCardImageFile(argument.c_str(), image)) {
            reply("error cannot load %s", argument);
            return true;
        }
        card.image = image;
        card.loaded = true;
        card.selection = freshSelection();
        reply("ok loaded %s", argument);
    } else if (command == "status") {
        reply("ok %s", std::string(card.socket >= 0 ? "inserted" : "removed") + " commands " +
                           std::to_string(card.commands));
    } else if (command == "counters") {
        reportTraffic();
    } else if (command == "apdus") {
        reportApdus();
    } else if (command == "quit") {
        reply("ok quit");
        return false;
    } else {
        reply("error unknown command: %s", line);
    }
    return true;
}

// Reads what standard input holds; false at its end or on quit.
bool serveInput(std::string &pending)
{
    char buffer[1024];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
        return true;
    if (n <= 0)
        return false;
    pending.append(buffer, (size_t)n);
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (!runCommand(line))
            return false;
    }
    if (pending.size() > 4096) {
        reply("error command line too long");
        pending.clear();
    }
    return true;
}

int usage()
{
    fprintf(stderr, "usage: velmo-virtual-card --port N [--host ADDRESS] [--image FILE]\n"
                    "                          [--t0-timing] [--clock HZ] [--processing-us N]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        const std::string option = argv[i];
        long value = 0;
        if (option == "--port" && i + 1 < argc && parseCount(argv[i + 1], value) && value > 0 &&
            value <= 65535) {
            card.port = (uint16_t)value;
            i++;
        } else if (option == "--t0-timing") {
            card.timed = true;
        } else if (option == "--clock" && i + 1 < argc && parseCount(argv[i + 1], value) && value > 0) {
            card.timing.clockHz = (double)value;
            i++;
        } else if (option == "--processing-us" && i + 1 < argc && parseCount(argv[i + 1], value)) {
            card.timing.processingMicroseconds = (double)value;
            i++;
        } else if (option == "--host" && i + 1 < argc) {
            card.host = argv[++i];
        } else if (option == "--image" && i + 1 < argc) {
            card.loaded = loadCardImageFile(argv[++i], card.image);
            if (!card.loaded) {
                fprintf(stderr, "velmo-virtual-card: cannot load %s\n", argv[i]);
                return 1;
            }
        } else {
            return usage();
        }
    }
    if (!card.port)
        return usage();
    signal(SIGPIPE, SIG_IGN);
    std::string pending;
    for (;;) {
        struct pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {card.socket, POLLIN, 0}};
        const nfds_t count = card.socket >= 0 ? 2 : 1;
        if (poll(watched, count, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (count == 2 && watched[1].revents && !serveMessage()) {
            pullCard();
            reply("event removed");
        }
        if (watched[0].revents && !serveInput(pending))
            break;
    }
    pullCard();
    return 0;
}
