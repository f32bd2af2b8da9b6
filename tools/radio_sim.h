// ferrox-sim radio: a phone radio for the scripted radio backend.
#pragma once

int RadioSimMain(int argc, char** argv);
extern const char kRadioUsage[];
