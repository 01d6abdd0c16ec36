// Tcl scripts instrumented for line coverage: a counter command before the
// first command that starts on each line, on that same line, so that every
// line number Tcl reports stays what it is. Tcl's own parser
// (Tcl_ParseCommand) finds the commands; the braced words that are scripts
// are known per command (proc bodies, if/while/for/foreach/lmap/switch/
// catch/try/namespace eval/dict for|map|with|update/time/eval/uplevel, TclOO
// class definitions, methods, constructors and destructors; Itcl classes,
// their methods, procedures, constructors, destructors and configuration
// code, itcl::body and itcl::configbody) and are instrumented in turn.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace kx {
namespace tcl {

struct Interp;

// Tcl_Token and Tcl_Parse as tcl.h lays them out (Tcl 8.6).
struct Token {
    int type;
    const char *start;
    int size;
    int numComponents;
};

constexpr int kTokenWord = 1;
constexpr int kTokenSimpleWord = 2;
constexpr int kTokenText = 4;
constexpr int kTokenExpandWord = 256;

struct Parse {
    const char *commentStart;
    int commentSize;
    const char *commandStart;
    int commandSize;
    int numWords;
    Token *tokenPtr;
    int numTokens;
    int tokensAvailable;
    int errorType;
    const char *string;
    const char *end;
    Interp *interp;
    const char *term;
    int incomplete;
    Token staticTokens[20];
};

struct Parser {
    int (*ParseCommand)(Interp *interp, const char *start, int numBytes, int nested, Parse *parse);
    void (*FreeParse)(Parse *parse);
};

}  // namespace tcl

namespace cover {

// A procedure (or TclOO or Itcl method, constructor, destructor, Itcl
// configuration code) a file defines.
struct Procedure {
    std::string name;  // qualified as far as the file says: "json::parse", "Stack.push",
                       // "Stack.configbody.limit"
    int line;          // the line of its defining command
    int entry;         // the counter its body starts with
    int end = -1;      // one past the last counter of its body
};

// A command that takes one of several arms (if/elseif/else, switch, and a
// loop: its body run, or never run): the
// counter entering each arm and the line the arm leads to (its first command's,
// or -line for the implicit empty else or default an arm-less run takes).
struct Branch {
    int line;
    std::vector<std::pair<int, int>> arms;  // (counter, destination line)
    // The line the implicit arm (or a loop that never ran its body) goes on
    // to: the next command's after the branch, or the loop's own after a
    // loop body's last command; 0 where it leaves the procedure or the file.
    int next = 0;
};

// Where a script of the file cannot be parsed (Tcl's parser stops there):
// the line of the command, and what is wrong ("missing close-brace").
struct ParseError {
    int line = 0;  // 0: every script parsed
    std::string message;
};

// What a counter does beyond counting: kEnter, before a loop, notes its
// body's counter (`pair`); kLeave, after it, counts the runs of the loop whose
// body never ran since.
// kImplicit counts the implicit empty else or default, a clause of its own.
enum CounterKind : signed char { kCount = 0, kEnter = 1, kLeave = 2, kImplicit = 3 };

struct Instrumented {
    std::string text;
    std::vector<Branch> branches;
    // Per counter, only when a loop is measured: its kind and its loop body's counter.
    std::vector<signed char> kinds;
    std::vector<int> pairs;
    // The line of each counter; 0 for a counter that only marks the entry of a
    // procedure whose body has no command.
    std::vector<int> lines;
    std::vector<Procedure> procedures;
    ParseError error;  // the first script that does not parse
};

// The counter command inserted before commands, followed by a space and the
// counter's number: file id * kSlotsPerFile + index.
constexpr const char *kHitCommand = "::korvex::hit";
constexpr long long kSlotsPerFile = 1000000;

// `script` (Tcl's UTF-8, the whole text of a file) instrumented with counters
// numbered from file_id * kSlotsPerFile. A command Tcl cannot parse ends the
// instrumentation of the script holding it (Tcl reports the error when it
// gets there). At most kSlotsPerFile - 1 counters; commands beyond get none.
// Itcl's commands are known as itcl::class, itcl::body ...; unqualified too
// when `itcl_imported` (the interpreter has them imported) or once the script
// imports them. With `branches` each arm of if and switch gets a counter too
// (see Branch).
Instrumented instrument(const tcl::Parser &parser, const char *script, size_t size, long long file_id,
                        bool itcl_imported, bool branches = false);

}  // namespace cover
}  // namespace kx
