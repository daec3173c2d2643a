// gaugehost session: the host as a long-lived process that another program
// drives (gaugehost serve and render --panel do): one JSON request per line
// on standard input, one JSON message per line on standard output, a
// picture's raw pixels right after the line that announces them.
//
// Requests ("seq" is echoed in the reply as "reply"):
//   {"op":"load","path":P,"vars":[[ID,VALUE],...]}  unload any module, load P, set the
//                                                    variables, start the gauge
//   {"op":"set","vars":[[ID,VALUE],...]}             VALUE a number or "nan", "inf", "-inf"
//   {"op":"mouse","x":X,"y":Y,"event":"click"|"drag"}
//   {"op":"frames","n":N}                            N frames now
//   {"op":"picture"}                                 the picture as it stands, changed or not
//   {"op":"run","rate":R}                            frames per second from now on (0 stops;
//                                                    1000 or more: as fast as they go)
//   {"op":"unload"}, {"op":"quit"}
// Every action but "picture" is followed by a frame; a message carries the
// picture whenever it differs from the last one sent.
//
// Messages: {"reply":SEQ,"ok":true|false,"error":TEXT,"fatal":true,
//   "gauge":{...},"variables":[...],"log":[...],"keys":[{"id","param","effect"}],
//   "vars":{"ID":VALUE},"sounds":[{"format","channels","rate","bits","bytes","data"}],
//   "warnings":[...],"frames":N,"picture":{"width":W,"height":H,"bytes":N}}
// Picture bytes: W x H pixels, top-down rows, each 4 bytes B, G, R, 0.
// A "fatal" message is the last: module code faulted and the process ends.
#pragma once

#include "cli.h"

namespace gaugehost {

// Runs the session in the worker until the input ends or "quit"; returns
// the exit status.
int runSession(const Options& o);

}  // namespace gaugehost
