// Sub-commands of the vozaz tool. Each returns the process exit status.
#pragma once

namespace vozaz {

int packCommand(int argc, char** argv);
int infoCommand(int argc, char** argv);
int frameCommand(int argc, char** argv);
int driveCommand(int argc, char** argv);
int speakCommand(int argc, char** argv);
int serveCommand(int argc, char** argv);

}  // namespace vozaz
