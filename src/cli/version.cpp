// The version, where what(1) finds it: `what $(command -v tamso-helper)` prints the
// text after "@(#)". Nothing refers to it, so it is marked used: neither the compiler
// nor the linker may drop it. The build passes TAMSO_VERSION from the project's version.
[[gnu::used]] static const char what_version[] = "@(#)tamso-helper " TAMSO_VERSION;
