# Copies Device.wsdl and the sample requests (*.req.xml) that soapcpp2 wrote
# into the program folder's auto/ directory, replacing older ones.
file(GLOB old ${DEST}/*.req.xml)
if(old)
  file(REMOVE ${old})
endif()
file(GLOB reqs ${GEN}/*.req.xml)
file(COPY ${GEN}/Device.wsdl ${reqs} DESTINATION ${DEST})
