#pragma once
// The demo writes a note into the user's folder and reads it back, both through file
// tokens that it redeems for open files: it never opens the user's folder itself.
namespace TarvikDemo {

void writeAndReadNote();

}  // namespace TarvikDemo
