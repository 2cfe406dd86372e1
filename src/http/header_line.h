// What a method and a --header line may be: the text goes onto the wire as
// given, so nothing in it may break the request's framing.
#pragma once

#include <string_view>

enum class HeaderLineProblem {
    None,         // the line may be sent
    NotNamed,     // no "Name:" before the value, or the name is no token
    ControlByte,  // a control byte other than a tab in the value
    Owned,        // Connection, Content-Length or Transfer-Encoding: velkor decides these
};

// A token of RFC 9110: one or more of the letters, digits and !#$%&'*+-.^_`|~.
// Methods and field names are tokens.
bool isToken(std::string_view text);

// "Name: value", checked as one field line of a request.
HeaderLineProblem checkHeaderLine(std::string_view line);

// Whether the line's field name, before its colon, is name (ASCII letters in
// any case). name must be lower case.
bool headerLineNames(std::string_view line, std::string_view name);
