#include "tunnel/pipe.h"

namespace halyx {

Pipe::~Pipe() = default;

void Pipe::CloseWrite() { writeHandle_.reset(); }

void Pipe::CloseRead() { readHandle_.reset(); }

}  // namespace halyx
