# Views whose layout the tests compare with the compiler's layout of the same
# structs: every member type, in orders that need padding, arrays and the
# count (C) and length (L) members.
VIEW mixed
#type   cname  fbname  count flag size null
char    c1     -       1     -    -    -
double  d1     -       1     -    -    -
short   s1     -       1     -    -    -
long    l1     -       1     -    -    -
string  str5   -       1     -    5    -
int     i1     -       1     -    -    -
carray  arr3   -       1     -    3    -
float   f1     -       1     -    -    -
char    c2     -       1     -    -    -
END

VIEW arrays
short   s3     -       3     -    -    -
string  names  -       2     -    7    -
double  d2     -       2     -    -    -
char    tail   -       1     -    -    -
END

VIEW flagged
char    c      -        1  -   -   -
string  str    F_STRING 3  CL  9   -
long    l      F_LONG   2  C   -   -
carray  bytes  F_CARRAY 1  LP  4   -
END

VIEW shorts_only
short   a      -       1     -    -    -
char    b      -       1     -    -    -
END
