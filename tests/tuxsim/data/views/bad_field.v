VIEW bad_field
long    a     F_NOSUCH  1  -  -  -
END
VIEW fine_neighbour
long    a     F_LONG    1  -  -  -
END
