// The process entry's work: install, remove, console run, service run.
#pragma once

int launcher_main(int argc, char** argv);
