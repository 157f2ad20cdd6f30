#pragma once
// Every program reads its command line with one parser and answers --help and --version
// the same way. Header-only: programs that link only the shared library use it too
// (link the tarvik-programoptions target, which also gives TARVIK_VERSION).
#include <algorithm>
#include <boost/program_options.hpp>
#include <cctype>
#include <cstdio>
#include <exception>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace Tarvik::ProgramOptions {

namespace po = boost::program_options;

inline constexpr const char* kVersion = TARVIK_VERSION;
// The exit code of a command line the program does not understand.
inline constexpr int kUsageError = 2;

// Long options only, spelled out in full, each value in the argument after its option: a
// command line that another process checks argument by argument reads the same here.
inline constexpr int kStyle =
    po::command_line_style::allow_long | po::command_line_style::long_allow_next;

struct Program {
    const char* name;      // "tarvik-run"
    const char* synopsis;  // "[options] MANIFEST [-- ARGS...]"
};

// `options` with --help and --version added.
inline po::options_description withStandardOptions(const po::options_description& options) {
    po::options_description all;
    all.add_options()("help", "print this help and exit")("version", "print the version and exit");
    if (!options.options().empty()) all.add(options);
    return all;
}

// Refuses "--name=value" where an option is expected: the parser would otherwise take
// the value from the same argument whatever the style says. And "-x": without short
// options the parser would take it for one positional argument too many.
inline std::vector<po::option> refuseAdjacentValue(std::vector<std::string>& args) {
    const std::string& token = args.front();
    if (token.size() > 1 && token[0] == '-' && token[1] != '-')
        throw po::error("unknown option " + token + " (options are spelled out in full: --name)");
    if (token.size() > 2 && token.compare(0, 2, "--") == 0 && token.find('=') != std::string::npos)
        throw po::error("the value of " + token.substr(0, token.find('=')) +
                        " belongs in the next argument: " + token);
    return {};
}

// Parses `args` (the program's name left out) into `values`; false with `error` set
// for anything it does not understand.
inline bool parse(const std::vector<std::string>& args, const po::options_description& options,
                  const po::positional_options_description& positional, po::variables_map& values,
                  std::string& error) {
    try {
        po::store(po::command_line_parser(args)
                      .options(options)
                      .positional(positional)
                      .style(kStyle)
                      .extra_style_parser(refuseAdjacentValue)
                      .run(),
                  values);
        return true;
    } catch (const po::error_with_option_name& e) {
        // Its message substitutes the offending token in a loop that never ends when the
        // token holds a placeholder such as "%canonical_option%": such a token is not
        // echoed.
        const bool placeholder = std::ranges::any_of(
            args, [](const std::string& arg) { return arg.find('%') != std::string::npos; });
        error = placeholder ? "an option or value with '%' was not understood" : e.what();
        return false;
    } catch (const std::exception& e) {
        error = e.what();
        if (error.empty()) error = "bad command line";
        return false;
    }
}

inline std::string usage(const Program& program, const po::options_description& options) {
    std::ostringstream text;
    text << "usage: " << program.name << ' ' << program.synopsis << '\n' << options;
    return text.str();
}

// Reads a program's command line. --help and --version are answered on stdout; a command
// line it does not understand gets its error and a hint on stderr. Returns the exit code
// when the program is done, nullopt when it goes on with `values`.
inline std::optional<int> readCommandLine(
    int argc, char** argv, const Program& program, const po::options_description& options,
    po::variables_map& values, const po::positional_options_description& positional = {}) {
    const auto all = withStandardOptions(options);
    std::string error;
    if (parse(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), all, positional,
              values, error)) {
        if (values.count("help")) {
            std::fputs(usage(program, all).c_str(), stdout);
            return 0;
        }
        if (values.count("version")) {
            std::printf("%s %s\n", program.name, kVersion);
            return 0;
        }
        try {
            po::notify(values);
            return std::nullopt;
        } catch (const po::required_option& e) {
            error = e.what();
            // A required positional argument is named as the usage shows it, not as the
            // option behind it.
            std::string name = e.get_option_name();
            name.erase(0, name.find_first_not_of('-'));
            for (unsigned i = 0; i < std::min(positional.max_total_count(), 16u); ++i)
                if (positional.name_for_position(i) == name) {
                    std::ranges::transform(name, name.begin(), [](unsigned char c) {
                        return c == '-' ? '_' : static_cast<char>(std::toupper(c));
                    });
                    error = "no " + name + " given";
                    break;
                }
        } catch (const std::exception& e) {
            error = e.what();
        }
    }
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program.name,
                 error.c_str(), program.name);
    return kUsageError;
}

}  // namespace Tarvik::ProgramOptions
