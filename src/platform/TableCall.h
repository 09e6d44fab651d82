// Calls through a table of functions resolved at run time (see SharedLibrary.h), under the real
// function's own name.
//
// A backend declares, inside its namespace, one `TableCall` object per function of its client
// library, named like that function. Unqualified calls in the backend's code then find the object
// before the global declaration from the library's header, and since the name found is an object,
// argument-dependent lookup does not bring the real function back. The backend's code keeps
// reading `pa_stream_peek(...)`, and a call left out of the table fails to link (the library is
// linked with --no-undefined and without the client library) instead of loading it behind our back.
#pragma once

namespace ovra {

template <class Table, const Table& (*table)(), auto slot, class Function>
struct TableCall;

// The parameters are the real function's, so arguments convert exactly as in a direct call.
template <class Table, const Table& (*table)(), auto slot, class R, class... A>
struct TableCall<Table, table, slot, R (*)(A...)> {
    R operator()(A... a) const { return (table().*slot)(a...); }
};

}  // namespace ovra
