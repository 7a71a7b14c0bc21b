# tamso_unquotable: a regular expression that matches what the install scripts cannot
# hold in the single quotes around an install path (a quote), and what must not be in
# such a path at all: a backslash, which cmake --install itself takes for a separator,
# and a control character (a line break would end a comment of the scripts early, and
# XML forbids most of them in the property lists).
set(tamso_unquotable "")
foreach(tamso_code RANGE 1 31)
  string(ASCII ${tamso_code} tamso_char)
  string(APPEND tamso_unquotable "${tamso_char}")
endforeach()
string(ASCII 127 92 tamso_char)
set(tamso_unquotable "['${tamso_unquotable}${tamso_char}]")
unset(tamso_code)
unset(tamso_char)
