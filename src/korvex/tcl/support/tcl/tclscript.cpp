#include "support/tcl/tclscript.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

namespace kx {
namespace cover {
namespace {

using tcl::Token;
using Words = std::vector<const Token *>;

// Where a script sits: the namespace its procedures land in, and for a TclOO
// or Itcl definition script the class it defines.
struct Context {
    std::string ns;     // without the leading "::"; "" for the global namespace
    std::string klass;  // set in a definition script
    bool itcl = false;  // an Itcl class definition script
    bool itcl_public = false;  // ... inside `public {...}`
};

std::string qualify(const std::string &ns, std::string_view name) {
    if (name.substr(0, 2) == "::")
        return std::string(name.substr(2));
    return ns.empty() ? std::string(name) : ns + "::" + std::string(name);
}

// The text of a word that has no substitution in it; whether it has one.
bool literal(const Token *w, std::string_view &out) {
    if (w->type != tcl::kTokenSimpleWord)
        return false;
    out = std::string_view(w[1].start, (size_t)w[1].size);
    return true;
}

bool is(const Token *w, std::string_view text) {
    std::string_view s;
    return literal(w, s) && s == text;
}

bool braced(const Token *w) {
    return (w->type == tcl::kTokenSimpleWord || w->type == tcl::kTokenWord) && w->size >= 2 &&
           w->start[0] == '{';
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// The elements of a braced Tcl list (a switch's pattern/body list) as
// [begin, end) ranges of the source; braced ones without their braces.
struct Element {
    const char *begin, *end;
    bool braced;
};

std::vector<Element> list_elements(const char *p, const char *end) {
    std::vector<Element> out;
    while (true) {
        while (p < end && is_space(*p))
            ++p;
        if (p >= end)
            return out;
        if (*p == '{') {
            int depth = 1;
            const char *q = p + 1;
            for (; q < end && depth; ++q) {
                if (*q == '\\' && q + 1 < end)
                    ++q;
                else if (*q == '{')
                    ++depth;
                else if (*q == '}')
                    --depth;
            }
            if (depth)
                return {};  // malformed: Tcl will say so
            out.push_back({p + 1, q - 1, true});
            p = q;
        } else if (*p == '"') {
            const char *q = p + 1;
            for (; q < end && *q != '"'; ++q)
                if (*q == '\\' && q + 1 < end)
                    ++q;
            if (q >= end)
                return {};
            out.push_back({p + 1, q, false});
            p = q + 1;
        } else {
            const char *q = p;
            for (; q < end && !is_space(*q); ++q)
                if (*q == '\\' && q + 1 < end)
                    ++q;
            out.push_back({p, q, false});
            p = q;
        }
    }
}

class Walker {
public:
    Walker(const tcl::Parser &parser, const char *base, size_t size, long long file_id, bool itcl_imported,
           bool branches)
        : parser_(parser), base_(base), size_(size), file_id_(file_id), itcl_imported_(itcl_imported),
          branches_(branches) {
        line_starts_.push_back(0);
        for (size_t i = 0; i < size; ++i)
            if (base[i] == '\n')
                line_starts_.push_back(i + 1);
    }

    Instrumented run() {
        script(base_, base_ + size_, Context{}, {}, -1);
        std::stable_sort(inserts_.begin(), inserts_.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
        size_t extra = 0;
        for (auto &ins : inserts_)
            extra += ins.second.size();
        out_.text.reserve(size_ + extra);
        size_t at = 0;
        for (auto &ins : inserts_) {
            out_.text.append(base_ + at, ins.first - at);
            out_.text.append(ins.second);
            at = ins.first;
        }
        out_.text.append(base_ + at, size_ - at);
        return std::move(out_);
    }

private:
    int line_of(const char *p) const {
        size_t off = (size_t)(p - base_);
        return (int)(std::upper_bound(line_starts_.begin(), line_starts_.end(), off) - line_starts_.begin());
    }

    // A new counter for `line` inserted before `at`; -1 when the file has no more.
    int counter(const char *at, int line) {
        if ((long long)out_.lines.size() >= kSlotsPerFile - 1)
            return -1;
        int index = (int)out_.lines.size();
        out_.lines.push_back(line);
        std::string text = kHitCommand;
        text += ' ';
        text += std::to_string(file_id_ * kSlotsPerFile + index);
        text += ';';
        inserts_.emplace_back((size_t)(at - base_), std::move(text));
        return index;
    }

    // A counter entering an arm (no line of its own) inserted at `at`: at the
    // start of the arm's body, or with `clause` ("else ", "default ") as a
    // new arm of its own. -1 when the file has no more.
    int arm_counter(const char *at, const char *clause = nullptr) {
        if ((long long)out_.lines.size() >= kSlotsPerFile - 1)
            return -1;
        int index = (int)out_.lines.size();
        out_.lines.push_back(0);
        std::string text;
        if (clause)
            text.append(" ").append(clause).append("{");
        text += kHitCommand;
        text += ' ';
        text += std::to_string(file_id_ * kSlotsPerFile + index);
        text += ';';
        if (clause)
            text += '}';
        inserts_.emplace_back((size_t)(at - base_), std::move(text));
        return index;
    }

    // A counter of kind `kind` for the loop body counted by `body`, inserted at `at` (`before`
    // the loop, or after it with a separator).
    int loop_counter(const char *at, CounterKind kind, int body) {
        int index = arm_counter(at);
        if (index < 0)
            return -1;
        if (kind == kLeave)
            inserts_.back().second.insert(0, ";");
        out_.kinds.resize(out_.lines.size(), kCount);
        out_.pairs.resize(out_.lines.size(), -1);
        out_.kinds[(size_t)index] = kind;
        out_.pairs[(size_t)index] = body;
        return index;
    }

    // A loop at `line` whose braced body is `w`, the command ending at `end`:
    // an arm when its body ran, another when a run of it never ran its body.
    void loop_branch(int line, const Token *w, const char *start, const char *end) {
        if (!branches_ || !braced(w))
            return;
        int body = arm_counter(w->start + 1);
        if (body < 0)
            return;
        int first = first_line(w->start + 1, w->start + w->size - 1);
        if (loop_counter(start, kEnter, body) < 0)
            return;
        int never = loop_counter(end, kLeave, body);
        if (never < 0)
            return;
        pending_.push_back(out_.branches.size());
        out_.branches.push_back(Branch{line, {{body, first}, {never, -line}}});
    }

    // The branches since `mark` whose implicit arm is still without a next
    // line go on to `line` (0: they leave; a line one of the branch's arms
    // starts on, or its own, could not be told apart and stays unknown).
    void go_on(size_t mark, int line) {
        if (line > 0)
            for (size_t k = mark; k < pending_.size(); ++k) {
                Branch &b = out_.branches[pending_[k]];
                bool taken = line == b.line;
                for (auto &arm : b.arms)
                    taken = taken || arm.second == line;
                if (!taken)
                    b.next = line;
            }
        pending_.resize(mark);
    }

    // A script Tcl's parser stops in, at `p` (the first noted is kept).
    void parse_error(const tcl::Parse &parse, const char *p, const char *end) {
        if (out_.error.line)
            return;
        static const char *const messages[] = {
            "syntax error", "extra characters after close-quote", "extra characters after close-brace",
            "missing close-brace", "missing close-bracket", "missing )", "missing \"",
            "missing close-brace for variable name", "syntax error", "bad number"};
        int type = parse.errorType;
        const char *at = parse.commandStart && parse.commandStart >= p && parse.commandStart < end
                             ? parse.commandStart : p;
        out_.error.line = line_of(at);
        out_.error.message = type > 0 && type < (int)(sizeof messages / sizeof *messages) ? messages[type]
                                                                                            : messages[0];
    }

    // The line of the first command of [start, end), else of `start`.
    int first_line(const char *start, const char *end) {
        const char *p = start;
        while (p < end) {
            tcl::Parse parse;
            if (parser_.ParseCommand(nullptr, p, (int)(end - p), 0, &parse) != 0)
                break;
            const char *next = parse.commandStart + parse.commandSize;
            bool found = parse.numWords > 0;
            int line = found ? line_of(parse.commandStart) : 0;
            parser_.FreeParse(&parse);
            if (found)
                return line;
            if (next <= p)
                break;
            p = next;
        }
        return line_of(start);
    }

    // The arms (braced scripts [begin, end)) of a branch at `line`, counted
    // before their bodies are instrumented; `implicit` is where the arm a run
    // that takes none of them gets (`clause` inserted there), or null.
    void branch(int line, const std::vector<std::pair<const char *, const char *>> &arms, const char *implicit,
                const char *clause) {
        if (!branches_)
            return;
        Branch b{line, {}};
        for (auto &arm : arms) {
            int index = arm_counter(arm.first);
            if (index < 0)
                return;
            b.arms.emplace_back(index, first_line(arm.first, arm.second));
        }
        if (implicit) {
            int index = arm_counter(implicit, clause);
            if (index < 0)
                return;
            out_.kinds.resize(out_.lines.size(), kCount);
            out_.pairs.resize(out_.lines.size(), -1);
            out_.kinds[(size_t)index] = kImplicit;
            b.arms.emplace_back(index, -line);
            pending_.push_back(out_.branches.size());
        }
        out_.branches.push_back(std::move(b));
    }

    // The commands of [start, end): `covered` holds the lines whose commands
    // are counted already when this script starts (an enclosing command on
    // that line began); `procedure` is the index of the procedure whose body
    // this is, or -1.
    void script(const char *start, const char *end, const Context &ctx, std::vector<int> covered,
                int procedure) {
        const char *p = start;
        bool first = true;
        size_t mark = pending_.size();  // the branches of the command before
        while (p < end) {
            tcl::Parse parse;
            if (parser_.ParseCommand(nullptr, p, (int)(end - p), 0, &parse) != 0) {
                parse_error(parse, p, end);  // (the parser has freed what it held)
                break;
            }
            const char *next = parse.commandStart + parse.commandSize;
            if (parse.numWords > 0) {
                int line = line_of(parse.commandStart);
                go_on(mark, line);
                mark = pending_.size();
                bool entry = first && procedure >= 0;
                if (entry || std::find(covered.begin(), covered.end(), line) == covered.end()) {
                    int index = counter(parse.commandStart, line);
                    if (index >= 0) {
                        covered.push_back(line);
                        if (entry)
                            out_.procedures[(size_t)procedure].entry = index;
                    }
                }
                first = false;
                command(parse, ctx, covered);
            }
            parser_.FreeParse(&parse);
            if (next <= p)
                break;
            p = next;
        }
        if (first && procedure >= 0) {
            int index = counter(start, 0);
            if (index >= 0)
                out_.procedures[(size_t)procedure].entry = index;
        }
    }

    void body(const Token *w, const Context &ctx, const std::vector<int> &covered) {
        if (braced(w))
            script(w->start + 1, w->start + w->size - 1, ctx, covered, -1);
    }

    // A loop's script: what ends it goes back to the loop on `line`.
    void loop_body(const Token *w, const Context &ctx, const std::vector<int> &covered, int line) {
        size_t mark = pending_.size();
        body(w, ctx, covered);
        go_on(mark, line);
    }

    void procedure(const Token *w, std::string name, const char *defined, const Context &ctx) {
        if (!braced(w))
            return;
        out_.procedures.push_back({std::move(name), line_of(defined), -1});
        Context inner{ctx.ns, {}, false};
        size_t index = out_.procedures.size() - 1;
        size_t mark = pending_.size();
        script(w->start + 1, w->start + w->size - 1, inner, {}, (int)index);
        go_on(mark, 0);  // what ends its body leaves the procedure
        out_.procedures[index].end = (int)out_.lines.size();
    }

    void command(const tcl::Parse &parse, const Context &ctx, const std::vector<int> &covered) {
        Words w;
        const Token *t = parse.tokenPtr;
        for (int i = 0; i < parse.numWords; ++i) {
            if (t->type == tcl::kTokenExpandWord)
                return;  // {*}: where the words fall is not known
            w.push_back(t);
            t += t->numComponents + 1;
        }
        std::string_view name;
        if (!literal(w[0], name))
            return;
        if (name.substr(0, 2) == "::")
            name.remove_prefix(2);
        const size_t n = w.size();
        const char *at = parse.commandStart;
        if (!ctx.klass.empty()) {
            if (ctx.itcl)
                itcl_definition(w, 0, ctx, at, covered);
            else
                definition(w, 0, ctx, at);
            return;
        }
        if (name == "proc" && n == 4) {
            std::string_view pname;
            if (literal(w[1], pname))
                procedure(w[3], qualify(ctx.ns, pname), at, ctx);
        } else if (name == "if") {
            if_command(w, ctx, covered);
        } else if (name == "while" && n == 3) {
            loop_branch(line_of(at), w[2], at, w[2]->start + w[2]->size);
            loop_body(w[2], ctx, covered, line_of(at));
        } else if (name == "for" && n == 5) {
            loop_body(w[1], ctx, covered, line_of(at));
            loop_body(w[3], ctx, covered, line_of(at));
            loop_branch(line_of(at), w[4], at, w[4]->start + w[4]->size);
            loop_body(w[4], ctx, covered, line_of(at));
        } else if ((name == "foreach" || name == "lmap") && n >= 4 && n % 2 == 0) {
            if (name == "foreach")  // (lmap's value is its result: nothing may follow it)
                loop_branch(line_of(at), w[n - 1], at, w[n - 1]->start + w[n - 1]->size);
            loop_body(w[n - 1], ctx, covered, line_of(at));
        } else if (name == "switch") {
            switch_command(w, ctx, covered);
        } else if ((name == "catch" && n >= 2 && n <= 4) || (name == "time" && (n == 2 || n == 3)) ||
                   (name == "eval" && n == 2)) {
            body(w[1], ctx, covered);
        } else if (name == "uplevel" && (n == 2 || n == 3)) {
            body(w[n - 1], ctx, covered);
        } else if (name == "try" && n >= 2) {
            try_command(w, ctx, covered);
        } else if (name == "namespace" && n == 4 && is(w[1], "eval")) {
            std::string_view ns;
            if (literal(w[2], ns))
                body(w[3], Context{qualify(ctx.ns, ns), {}, false}, covered);
        } else if (name == "namespace" && n >= 3 && is(w[1], "import")) {
            for (size_t i = 2; i < n; ++i) {
                std::string_view pattern;
                if (literal(w[i], pattern) && pattern.find("itcl::") != std::string_view::npos)
                    itcl_imported_ = true;
            }
        } else if (name == "dict" && n >= 4) {
            if ((is(w[1], "for") || is(w[1], "map")) && n == 5)
                loop_body(w[4], ctx, covered, line_of(at));
            else if (is(w[1], "with") || (is(w[1], "update") && n >= 6 && n % 2 == 0))
                body(w[n - 1], ctx, covered);
        } else if (name == "oo::class" && n == 4 && is(w[1], "create")) {
            klass(w[2], w[3], ctx);
        } else if ((name == "oo::define" || name == "oo::objdefine") && n >= 3) {
            if (n == 3) {
                klass(w[1], w[2], ctx);
            } else {
                std::string_view cname;
                if (literal(w[1], cname))
                    definition(w, 2, Context{ctx.ns, qualify(ctx.ns, cname), false}, at);
            }
        } else if (itcl_command(name, "class") || name == "itcl::extendedclass" || name == "itcl::type") {
            if (n == 3)
                klass(w[1], w[2], ctx, true);
        } else if (itcl_command(name, "body") && n == 4) {
            member_body(w[1], w[3], "", at, ctx);
        } else if (itcl_command(name, "configbody") && n == 3) {
            member_body(w[1], w[2], "configbody.", at, ctx);
        }
    }

    // Itcl's command `name` (itcl::class ...), also unqualified once Itcl's
    // commands are imported.
    bool itcl_command(std::string_view command, std::string_view name) const {
        if (command.size() == name.size() + 6 && command.substr(0, 6) == "itcl::")
            command.remove_prefix(6);
        else if (!itcl_imported_)
            return false;
        return command == name;
    }

    // The body of an Itcl member; one that starts with "@" names a C
    // function and is not a script.
    void itcl_member(const Token *w, std::string name, const char *defined, const Context &ctx) {
        if (braced(w) && w->size > 2 && w->start[1] == '@')
            return;
        procedure(w, std::move(name), defined, ctx);
    }

    // itcl::body Class::member args body, itcl::configbody Class::variable body.
    void member_body(const Token *name, const Token *script_word, const char *kind, const char *at,
                     const Context &ctx) {
        std::string_view full;
        if (!literal(name, full))
            return;
        size_t cut = full.rfind("::");
        if (cut == std::string_view::npos || cut == 0 || cut + 2 >= full.size())
            return;
        std::string cname = qualify(ctx.ns, full.substr(0, cut));
        itcl_member(script_word, cname + "." + kind + std::string(full.substr(cut + 2)), at, ctx);
    }

    void klass(const Token *name, const Token *script_word, const Context &ctx, bool itcl = false) {
        std::string_view cname;
        if (literal(name, cname) && braced(script_word)) {
            size_t mark = pending_.size();
            script(script_word->start + 1, script_word->start + script_word->size - 1,
                   Context{ctx.ns, qualify(ctx.ns, cname), itcl}, {}, -1);
            go_on(mark, 0);
        }
    }

    // A command of an Itcl class (or itcl::type) definition script, from word
    // `k` on: methods, class procedures, type methods, constructor (its
    // initialisation script counted as lines), destructor, type constructor
    // and a public variable's configuration code, each
    // with or without public/protected/private before it (`is_public`: after
    // public), or such a word before a script of definitions.
    void itcl_definition(const Words &w, size_t k, const Context &ctx, const char *at,
                         const std::vector<int> &covered, bool is_public = false) {
        size_t n = w.size() - k;
        bool pub = is(w[k], "public");
        bool protection = pub || is(w[k], "protected") || is(w[k], "private");
        if (protection && n == 2) {
            Context inner = ctx;
            inner.itcl_public = pub;
            body(w[k + 1], inner, covered);
        } else if (protection && n > 2) {
            itcl_definition(w, k + 1, ctx, at, covered, pub);
        } else if ((is(w[k], "method") || is(w[k], "proc") || is(w[k], "typemethod")) && n == 4) {
            std::string_view mname;
            if (literal(w[k + 1], mname))
                itcl_member(w[k + 3], ctx.klass + "." + std::string(mname), at, ctx);
        } else if (is(w[k], "constructor") && (n == 3 || n == 4)) {
            if (n == 4 && braced(w[k + 2]))
                script(w[k + 2]->start + 1, w[k + 2]->start + w[k + 2]->size - 1, Context{ctx.ns, {}, false},
                       {}, -1);
            itcl_member(w[k + n - 1], ctx.klass + ".constructor", at, ctx);
        } else if ((is(w[k], "destructor") || is(w[k], "typeconstructor")) && n == 2) {
            std::string_view which;
            literal(w[k], which);
            itcl_member(w[k + 1], ctx.klass + "." + std::string(which), at, ctx);
        } else if (is(w[k], "variable") && n == 4 && (is_public || ctx.itcl_public)) {
            std::string_view vname;
            if (literal(w[k + 1], vname))
                itcl_member(w[k + 3], ctx.klass + ".configbody." + std::string(vname), at, ctx);
        }
    }

    // A command of a TclOO definition script, from word `k` on.
    void definition(const Words &w, size_t k, const Context &ctx, const char *at) {
        size_t n = w.size() - k;
        if (is(w[k], "method") && n == 4) {
            std::string_view mname;
            if (literal(w[k + 1], mname))
                procedure(w[k + 3], ctx.klass + "." + std::string(mname), at, ctx);
        } else if (is(w[k], "constructor") && n == 3) {
            procedure(w[k + 2], ctx.klass + ".constructor", at, ctx);
        } else if ((is(w[k], "destructor") || is(w[k], "typeconstructor")) && n == 2) {
            std::string_view which;
            literal(w[k], which);
            procedure(w[k + 1], ctx.klass + "." + std::string(which), at, ctx);
        }
    }

    void if_command(const Words &w, const Context &ctx, const std::vector<int> &covered) {
        if_branch(w);
        size_t i = 1, n = w.size();
        while (i < n) {
            ++i;  // the condition
            if (i < n && is(w[i], "then"))
                ++i;
            if (i >= n)
                return;
            body(w[i++], ctx, covered);
            if (i >= n)
                return;
            if (is(w[i], "elseif")) {
                ++i;
                continue;
            }
            if (is(w[i], "else"))
                ++i;
            if (i < n)
                body(w[i], ctx, covered);
            return;
        }
    }

    // The arms of an if whose bodies are all braced, the implicit empty else included.
    void if_branch(const Words &w) {
        std::vector<std::pair<const char *, const char *>> arms;
        size_t i = 1, n = w.size();
        bool has_else = false;
        while (i < n) {
            ++i;  // the condition
            if (i < n && is(w[i], "then"))
                ++i;
            if (i >= n)
                return;
            arms.emplace_back(w[i]->start, w[i]->start + w[i]->size);
            if (!braced(w[i++]))
                return;
            if (i >= n)
                break;
            if (is(w[i], "elseif")) {
                ++i;
                continue;
            }
            if (is(w[i], "else"))
                ++i;
            if (i + 1 != n || !braced(w[i]))
                return;
            arms.emplace_back(w[i]->start, w[i]->start + w[i]->size);
            has_else = true;
            break;
        }
        for (auto &arm : arms) {
            ++arm.first;  // inside the braces
            --arm.second;
        }
        const Token *last = w[n - 1];
        branch(line_of(w[0]->start), arms, has_else ? nullptr : last->start + last->size, "else ");
    }

    // The arms of a switch whose bodies are all braced ("-" falls through to
    // the next), the implicit default included.
    void switch_branch(const Words &w, size_t i, const std::vector<Element> *elements) {
        std::vector<std::pair<const char *, const char *>> arms;
        bool has_default = false;
        const char *end;
        if (elements) {
            const auto &e = *elements;
            for (size_t k = 0; k + 1 < e.size(); k += 2) {
                std::string_view body(e[k + 1].begin, (size_t)(e[k + 1].end - e[k + 1].begin));
                if (!e[k + 1].braced && body == "-")
                    continue;
                if (!e[k + 1].braced)
                    return;
                arms.emplace_back(e[k + 1].begin, e[k + 1].end);
            }
            const Element &pattern = e[e.size() - 2];
            has_default = std::string_view(pattern.begin, (size_t)(pattern.end - pattern.begin)) == "default";
            end = e.back().end + 1;  // past the last body's brace
        } else {
            size_t n = w.size();
            for (size_t k = i + 1; k < n; k += 2) {
                if (is(w[k], "-"))
                    continue;
                if (!braced(w[k]))
                    return;
                arms.emplace_back(w[k]->start + 1, w[k]->start + w[k]->size - 1);
            }
            has_default = is(w[n - 2], "default");
            end = w[n - 1]->start + w[n - 1]->size;
        }
        if (!arms.empty())
            branch(line_of(w[0]->start), arms, has_default ? nullptr : end, "default ");
    }

    void switch_command(const Words &w, const Context &ctx, const std::vector<int> &covered) {
        size_t i = 1, n = w.size();
        std::string_view opt;
        while (i < n && literal(w[i], opt) && !opt.empty() && opt[0] == '-') {
            ++i;
            if (opt == "--")
                break;
            if (opt == "-matchvar" || opt == "-indexvar")
                ++i;
        }
        ++i;  // the string
        if (i + 1 == n) {
            if (!braced(w[i]))
                return;
            auto elements = list_elements(w[i]->start + 1, w[i]->start + w[i]->size - 1);
            if (elements.size() % 2 || elements.empty())
                return;
            if (elements.back().braced)
                switch_branch(w, i, &elements);
            for (size_t k = 1; k < elements.size(); k += 2)
                if (elements[k].braced)
                    script(elements[k].begin, elements[k].end, ctx, covered, -1);
        } else if (i < n && (n - i) % 2 == 0) {
            switch_branch(w, i, nullptr);
            for (size_t k = i + 1; k < n; k += 2)
                body(w[k], ctx, covered);
        }
    }

    void try_command(const Words &w, const Context &ctx, const std::vector<int> &covered) {
        size_t mark = pending_.size();
        body(w[1], ctx, covered);
        size_t i = 2, n = w.size();
        while (i < n) {
            if ((is(w[i], "on") || is(w[i], "trap")) && i + 3 < n) {
                body(w[i + 3], ctx, covered);
                i += 4;
            } else if (is(w[i], "finally") && i + 1 < n) {
                if (braced(w[i + 1]))  // the body and handlers go on to it
                    go_on(mark, first_line(w[i + 1]->start + 1, w[i + 1]->start + w[i + 1]->size - 1));
                body(w[i + 1], ctx, covered);
                i += 2;
            } else {
                return;
            }
        }
    }

    const tcl::Parser &parser_;
    const char *base_;
    size_t size_;
    long long file_id_;
    bool itcl_imported_;
    bool branches_;
    std::vector<size_t> line_starts_;
    std::vector<std::pair<size_t, std::string>> inserts_;
    // The branches whose implicit arm's next line is not known yet (indices
    // into out_.branches), innermost last.
    std::vector<size_t> pending_;
    Instrumented out_;
};

}  // namespace

Instrumented instrument(const tcl::Parser &parser, const char *script, size_t size, long long file_id,
                        bool itcl_imported, bool branches) {
    return Walker(parser, script, size, file_id, itcl_imported, branches).run();
}

}  // namespace cover
}  // namespace kx
