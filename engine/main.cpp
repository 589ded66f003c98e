#include "engine/quarncrc.h"

int main(int argc, char** argv) { return quarn::quarncrc_main(argc, argv); }
