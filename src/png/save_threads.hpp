// How many threads a save may compress on: QUORVEX_THREADS when it is set to a whole number
// (1: the saving thread alone), else the CPUs this process may run on, up to a cap. Read at
// every save, with the GIL held (so that os.environ cannot change under it).
#pragma once

namespace qv::png {

int save_threads();

}  // namespace qv::png
