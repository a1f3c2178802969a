VIEW bad_null
short   s     -   1  -  -  70000
END
