// `zarnel-verify serve`: the verification service as a process.
#pragma once

namespace zarnel::serverkit::tool {

// Arguments after "serve". Serves until SIGINT or SIGTERM; exit 0 then,
// 2 on bad arguments, 1 when it cannot listen.
int RunServeCommand(int argc, char** argv);

}  // namespace zarnel::serverkit::tool
