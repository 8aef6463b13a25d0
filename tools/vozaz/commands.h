// Sub-commands of the vozaz tool. Each returns the process exit status.
#pragma once

#include "args.h"

namespace vozaz {

int packCommand(const Args& a);
int infoCommand(const Args& a);
int frameCommand(const Args& a);
int driveCommand(const Args& a);
int speakCommand(const Args& a);
int serveCommand(const Args& a);
int renderCommand(const Args& a);

}  // namespace vozaz
