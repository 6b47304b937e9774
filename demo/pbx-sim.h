/* pbx-sim: the PBX side of one FastAGI call as a current Asterisk plays it. Sends the AGI
 * environment, answers every command the server writes until the server closes the
 * connection, and records the exchange and the channel's outcome. Owns nothing but what it
 * returns; the connection stays the caller's. Used by asterisk-sim (one call, or many in
 * load mode) and by quelmo.admin explain, so both simulate the PBX the same way. */
#ifndef PBX_SIM_H
#define PBX_SIM_H

#include <stdio.h>

#include <map>
#include <string>
#include <vector>

/* One simulated call: what the PBX sends and how it answers. */
struct SimCall {
    std::string context;                          /* agi_context */
    std::string extension;                        /* agi_extension */
    std::string callerid;                         /* agi_callerid, as the PBX sends it */
    std::map<std::string, std::string> variables; /* GET VARIABLE answers; others are unset */
    std::map<std::string, int> app_results;       /* result of "exec APP ..." by APP; an
                                                     application not named answers as
                                                     SimDefaultResult says */
    int ring_ms = 0;                              /* how long a Dial rings before its reply */
    std::string agi_version = "20.20.1";          /* agi_version, as a current Asterisk sends
                                                     it; empty: not sent, an Asterisk older
                                                     than 1.6 that has SetCIDName/SetCIDNum */
    int reply_delay_us = 0;                       /* every reply to a command held back this
                                                     long, as a busy PBX does (not the
                                                     environment) */
    std::string uniqueid = "1796741624.7";        /* agi_uniqueid: Asterisk's id of the call */
    std::string channel = "PJSIP/sim-00000001";   /* agi_channel */
};

/* An id and a channel name of the shape Asterisk gives a call: "EPOCH.N" and
 * "PJSIP/sim-0000000N" (N in hexadecimal), for the call numbered n of a run started at
 * epoch. */
void SimNameCall(SimCall *call, long epoch, unsigned long n) noexcept;

enum SimEntryKind {
    SIM_ENVIRONMENT, /* the environment block went out (text: the block) */
    SIM_COMMAND,     /* a line the server sent, with its line break */
    SIM_REPLY,       /* the PBX's answer, with its line break */
    SIM_PARTIAL,     /* bytes the server sent without a line break before it closed */
    SIM_CLOSED       /* the server closed the connection */
};

struct SimEntry {
    SimEntryKind kind;
    std::string text;
};

/* Where the channel stands when the server has closed the connection. */
struct SimOutcome {
    std::string cidname;       /* caller-ID name the call presents from then on */
    std::string cidnum;        /* caller-ID number */
    std::string continues_at;  /* where the dial plan goes on, in words */
};

/* What one played call left behind. */
struct SimTranscript {
    std::vector<SimEntry> entries;
    SimOutcome outcome;
    bool closed_by_server = false; /* false: the connection failed before the server closed it */
};

/* The result an application answers when call.app_results does not name it: -2 for
 * SetCIDName and SetCIDNum when the call plays a current PBX (it sends agi_version and no
 * longer has them), 0 for every other. */
int SimDefaultResult(const SimCall &call, const std::string &app) noexcept;

/* The environment block Asterisk sends first, ended by its empty line. */
std::string SimEnvironment(const SimCall &call) noexcept;

/* The reply line (with its line break) the PBX gives to one command line (without its
 * line break). */
std::string SimReplyTo(const SimCall &call, const std::string &command) noexcept;

/* Plays the PBX side of call on sock: sends the environment, answers each command line as
 * SimReplyTo says (after reply_delay_us, a Dial after ring_ms more), until the server closes the connection. Fills
 * *transcript; every line the server sent is in it with its answer, also when the answer
 * could no longer be sent because the server had closed, so the transcript is the same
 * over a socket pair and over TCP. Returns 0 when the server closed the connection, -1
 * when receiving failed first. Leaves sock open. */
int SimPlayCall(int sock, const SimCall &call, SimTranscript *transcript) noexcept;

/* Prints the transcript in readable form, one line per entry, then the outcome:
 *   PBX  -> quelmo: AGI environment (context C, extension E, caller ID X)
 *   quelmo -> PBX : exec Dial ...\n
 *   PBX  -> quelmo: 200 result=0\n */
void SimPrintTranscript(FILE *out, const SimCall &call, const SimTranscript &transcript) noexcept;

/* Connects to a server listening on 127.0.0.1:port, as Asterisk's FastAGI client does.
 * Returns the connected descriptor, or -1 with errno set. */
int SimConnect(int port) noexcept;

/* The command lines of a transcript, in order, each without its line break; a partial
 * line the server left at its close is the last one. */
std::vector<std::string> SimCommands(const SimTranscript &transcript) noexcept;

/* The text with line breaks and carriage returns shown as \n and \r. */
std::string SimVisible(const std::string &text) noexcept;

#endif
