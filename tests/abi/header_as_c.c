/* The public header must compile as C in every build; its static assertions pin the layout. */
#include <tessuvan/tessuvan.h>

int tessuvan_header_compiles_as_c(void)
{
    BInitials init;
    memset(&init, 0, sizeof init);
    return (int)sizeof(BFitSet) + init.NEspeces;
}
