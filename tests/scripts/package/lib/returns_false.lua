false_count = (false_count or 0) + 1
return false
