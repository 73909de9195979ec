error({})
