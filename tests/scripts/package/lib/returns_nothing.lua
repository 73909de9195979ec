loaded_count = (loaded_count or 0) + 1
