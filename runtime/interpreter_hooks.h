// Process-wide adjustments that let the runtime's functions pass as the interpreter's own.
#pragma once

namespace smsline {

// Start-up duty 5: replaces builtins.isinstance with one that counts our
// function objects as instances of the interpreter's function type (so
// inspect.isfunction, inspect.signature and help() treat them as functions)
// and otherwise answers as the interpreter's own.  False with an exception set.
bool install_isinstance_hook() noexcept;

// Start-up duty 6: type equality (== and !=) compares our function type as
// the interpreter's function type.  Cannot fail.
void install_type_equality_hook() noexcept;

}  // namespace smsline
