new = 2
