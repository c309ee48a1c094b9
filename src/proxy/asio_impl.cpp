// The one translation unit that compiles Asio's and Beast's out-of-line code
// (separate compilation: every other unit only includes the declarations).
#include <boost/asio/impl/src.hpp>
#include <boost/asio/ssl/impl/src.hpp>
#include <boost/beast/src.hpp>
