// Fuzz target for shell_quote. Property, checked with the real /bin/sh on every input:
// for any text without NUL, the shell reads the quoted form as exactly one word that
// equals the text (the empty text stays empty, as documented, and gives no word).
#include <cstdint>
#include <string>

#include "exec/exec.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const TempFolder scratch;
    const std::string value = without_nul(std::string(reinterpret_cast<const char*>(data), size));
    const std::string quoted = shell_quote(value);

    // "$#" tells how many words the shell made of it; the first of them follows.
    const std::string script = "set -- " + quoted + "; printf '%s:%s' \"$#\" \"$1\"";
    const ChildResult shell = run_child({"/bin/sh", "-c", script}, scratch.path());
    const std::string expected = (value.empty() ? "0:" : "1:") + value;
    require(shell.status == 0 && shell.output == expected,
            "/bin/sh reads shell_quote(value) as the one word value",
            "value:  " + printable(value) + "\nquoted: " + printable(quoted) +
                "\nshell:  " + printable(shell.output));
    return 0;
}
