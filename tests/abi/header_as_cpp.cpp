// The public header compiles as C++ too, with its static assertions (the ABI tests include it
// in every build; in a 64-bit tree it is also compiled in the large layout, see CMakeLists.txt).
#include <tessuvan/tessuvan.h>

int TessuvanHeaderCompilesAsCpp()
{
    BInitials init{};
    return static_cast<int>(sizeof(BFitSet) + sizeof(ParameterTable)) + init.NEspeces;
}
