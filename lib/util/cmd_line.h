// The command-line conventions every program but datareport follows, in one
// place: options parsed with getopt_long (--opt=value and --opt value, "--"
// ends them), --help prints the usage on standard output (exit 0),
// --version prints "<program> <version>" (exit 0), and an unknown option or
// a missing value prints one line and the usage on standard error (exit 2).
// Single-threaded: getopt_long keeps its state in globals.
#ifndef ZQ_CMD_LINE_H
#define ZQ_CMD_LINE_H

#include <getopt.h>

#include <cstdio>
#include <string>
#include <vector>

const int ZQ_EXIT_USAGE = 2;

// "<version>" or "<version> (<git description>)" when built from a checkout.
const char* ZqVersionText();

class CCmdLine {
public:
    enum : int {
        OPT_END = 0,    // no more options: the operands start at FirstOperand()
        OPT_EXIT = -1,  // help, version or an error was printed: exit with ExitStatus()
    };

    // oOptions: the program's own long options (their val is what Next
    // returns; keep them above 255 or printable; a letter other than 'h' is
    // also the option's short form), without --help and --version, which are
    // added here. pfnUsage prints the whole usage to a stream.
    CCmdLine(const char* pszProgram, const std::vector<option>& oOptions, void (*pfnUsage)(FILE*));

    // The next option's val with its value in pszValue (null when it takes
    // none), OPT_END or OPT_EXIT.
    int Next(int argc, char** argv, const char*& pszValue);
    int ExitStatus() const { return m_iExit; }
    // What a program's parse_args returns on OPT_EXIT. Every program's
    // parse_args follows one convention: 0 to go on, -1 after --help or
    // --version (exit 0), otherwise the exit status of a usage error.
    int Finished() const { return m_iExit == 0 ? -1 : m_iExit; }
    int FirstOperand() const { return optind; }

    // A usage error found by the program: "<program>: <why>" and the usage
    // on standard error. Returns ZQ_EXIT_USAGE.
    int Fail(const std::string& strWhy);

private:
    const char* m_pszProgram;
    std::vector<option> m_oOptions;
    std::string m_strShort;
    void (*m_pfnUsage)(FILE*);
    int m_iExit;
};

#endif
