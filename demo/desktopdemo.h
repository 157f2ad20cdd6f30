#pragma once
// The demo's tour of the desktop managers: files, processes, an exit watch and one
// socket client.
namespace TarvikDemo {

void showDesktopServices();

}  // namespace TarvikDemo
